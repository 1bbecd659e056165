// Server -> aiortc over loopback through the draining send, in one run:
// (a) waits woken by the stack's buffered-amount reports, (b) plain 50 ms
// polls. Prints MB/s of both, their ratio, and where the time went.
#include "tests/support/Wait.h"
#include "tests/support/WebRTCPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line.
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

struct Run {
    bool ok = false;
    double seconds = 0, serverCpu = 0, peerCpu = 0;
    DrainStats drain;
    quint64 maxBuffered = 0;
};

Run run(qint64 bytes, bool wake)
{
    AiortcPeer peer(QStringLiteral("sink"), bytes);
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    config.drain.wakeOnDecrease = wake;
    EchoingServer server(peer, config);
    const double cpuBefore = cpuSeconds();
    drainStats() = {};
    Run result;
    if (!waitUntil([&] { return peer.hasFinished() || peer.exited(); }, 20min)) {
        std::fprintf(stderr, "peer did not finish: %s\n", qPrintable(peer.errors()));
        return result;
    }
    const QJsonObject burst = peer.result(QStringLiteral("burst_ok"));
    result.ok = burst.value(QStringLiteral("burst_ok")).toBool() && burst.value(QStringLiteral("bytes")).toInteger() == bytes;
    result.seconds = burst.value(QStringLiteral("seconds")).toDouble();
    result.serverCpu = cpuSeconds() - cpuBefore;
    result.peerCpu = processCpuSeconds(peer.pid());
    result.drain = drainStats();
    result.maxBuffered = server.maxBufferedSeen();
    if (!result.ok)
        std::fprintf(stderr, "burst failed: %s\n", qPrintable(peer.errors()));
    peer.finish();
    waitUntil([&] { return peer.exited(); }, 10s);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 64;
    const qint64 bytes = mib * 1024 * 1024;
    std::printf("webrtc_channel: %lld MiB server -> aiortc in 64 KiB messages, buffered amount <= 65536\n", mib);
    const Run woken = run(bytes, true);
    const Run polled = run(bytes, false);
    if (!woken.ok || !polled.ok)
        return 1;
    const double mbWoken = double(bytes) / 1e6 / woken.seconds, mbPolled = double(bytes) / 1e6 / polled.seconds;
    std::printf("  (a) woken by the stack:  %8.2f MB/s  %6.2f s  server CPU %5.2f s  peer CPU %5.2f s\n", mbWoken,
                woken.seconds, woken.serverCpu, woken.peerCpu);
    std::printf("  (b) plain 50 ms polls:   %8.2f MB/s  %6.2f s  server CPU %5.2f s  peer CPU %5.2f s\n", mbPolled,
                polled.seconds, polled.serverCpu, polled.peerCpu);
    std::printf("  ratio (a)/(b): %.1f\n", mbWoken / mbPolled);
    for (const auto &[name, r] : {std::pair{"(a)", woken}, std::pair{"(b)", polled}})
        std::printf("  %s %lld sends, %lld waited for the channel, %.2f s waiting in all; most buffered seen %llu bytes\n", name,
                    r.drain.sends, r.drain.waitedSends, double(r.drain.waitedMicroseconds) / 1e6,
                    (unsigned long long)r.maxBuffered);
    return 0;
}
