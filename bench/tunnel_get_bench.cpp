// A 64 MiB object fetched in one run (a) straight from the gateway with curl
// and (b) through the remote tunnel with tavrolin-tunnel, against the same
// server (real engine, tunnel signalled through a folder record store, all
// on loopback). Prints MB/s of both, their ratio (b)/(a) and the server's
// memory; then one upload of the same size through the tunnel. Before the
// server starts, the same bytes go between two peers of our own WebRTC stack
// with the same flow control (the native baseline): the tunnel's transfer
// rate against theirs is tunnel/native, and the server's CPU per MB is
// printed for both.
#include "bench/ChannelRun.h"
#include "tests/support/ManagerHarness.h"
#include "tests/support/StackHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

qint64 statusKiB(const char *field)
{
    const qint64 bytes = processStatusBytes(field);
    return bytes < 0 ? -1 : bytes / 1024;
}

// Runs a program to its end with the server's event loop turning; its
// wall time, or a negative number when it failed.
double timed(const QString &program, const QStringList &args, QString *errors = nullptr)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, 10min);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (process.state() != QProcess::NotRunning) {
        process.kill(); // our own child
        process.waitForFinished(5000);
        return -1;
    }
    const QString err = QString::fromUtf8(process.readAllStandardError());
    if (errors)
        *errors = err;
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        std::fprintf(stderr, "%s", qPrintable(err));
    return ok ? seconds : -1;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::max(1, atoi(argv[1])) : 64;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/tavrolin-tunnel");
    QList<double> nativeRates, nativeCpu;

    // The server as the application makes it, on free ports in a sandbox.
    StackHarness engine;
    const QString cloudFolder = engine.cloudFolder, out = engine.sandbox.path("out");
    QDir().mkpath(out);
    if (!engine.start()) {
        std::fprintf(stderr, "the server did not start: %s\n", qPrintable(engine.statuses.join(" | ")));
        return 1;
    }
    QByteArray body(mib << 20, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    if (!putObjects(engine.ports.s3, "photos", {"bench/big.jpg"}, [&](const QString &) { return body; })) {
        std::fprintf(stderr, "could not store the object\n");
        return 1;
    }
    body = QByteArray();
    // The server's memory is measured around each tunnel run only: the
    // object made above and the native baseline's burst are not the server's.
    qint64 idleKiB = -1, peakKiB = -1, growthKiB = 0;
    QList<double> pairRatios;

    QList<double> direct, tunnelled, transfers, tunnelCpu;
    const QString url = QStringLiteral("http://127.0.0.1:%1/photos/bench/big.jpg").arg(engine.ports.s3);
    for (int i = 0; i < runs; ++i) {
        // The native baseline beside each tunnel run, so that both see the
        // same state of the machine.
        const bench::Run native = bench::run(mib << 20, true, bench::Peer::Native);
        if (!native.ok) {
            std::fprintf(stderr, "the native baseline failed\n");
            return 1;
        }
        nativeRates << double(mib << 20) / 1e6 / native.seconds;
        nativeCpu << native.serverCpu;
        const double a = timed(QStringLiteral("curl"), {"-sf", "-o", out + "/curl.jpg", url});
        QString report;
        const DrainStats drainBefore = drainStats();
        resetPeakMemory();
        const qint64 beforeKiB = statusKiB("VmRSS:");
        const double cpuBefore = bench::cpuSeconds();
        const double b = timed(tool, {"--cloud-folder", cloudFolder, "--no-stun", "--local-only", "get", "photos/bench/big.jpg",
                                      out + "/tunnel.jpg"},
                               &report);
        tunnelCpu << bench::cpuSeconds() - cpuBefore;
        if (statusKiB("VmHWM:") - beforeKiB >= growthKiB) {
            growthKiB = statusKiB("VmHWM:") - beforeKiB;
            idleKiB = beforeKiB;
            peakKiB = statusKiB("VmHWM:");
        }
        const DrainStats &drain = drainStats();
        std::fprintf(stderr, "run %d: native %.1f MB/s (%lld of %lld sends waited, %.2f s); tunnel sends %lld, waited %lld, %.2f s\n", i + 1,
                     nativeRates.last(), native.drain.waitedSends, native.drain.sends, double(native.drain.waitedMicroseconds) / 1e6,
                     drain.sends - drainBefore.sends, drain.waitedSends - drainBefore.waitedSends,
                     double(drain.waitedMicroseconds - drainBefore.waitedMicroseconds) / 1e6);
        // The tool's own account of the transfer once the session is open.
        const auto rate = QRegularExpression(QStringLiteral(" in ([0-9.]+) s \\(")).match(report);
        if (rate.hasMatch()) {
            transfers << rate.captured(1).toDouble();
            pairRatios << (double(mib << 20) / 1e6 / transfers.last()) / nativeRates.last();
        }
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "a transfer failed (curl %.2f s, tunnel %.2f s)\n", a, b);
            return 1;
        }
        if (QFileInfo(out + "/tunnel.jpg").size() != mib << 20) {
            std::fprintf(stderr, "the tunnel delivered %lld bytes\n", QFileInfo(out + "/tunnel.jpg").size());
            return 1;
        }
        direct << a;
        tunnelled << b;
    }
    const double mb = double(mib << 20) / 1e6, a = median(direct), b = median(tunnelled);
    std::printf("GET of %lld MiB (median of %d runs): curl %.1f MB/s, tunnel %.1f MB/s (whole run of the tool, signaling "
                "included), ratio %.2f\n",
                mib, runs, mb / a, mb / b, a / b);
    std::printf("server RSS around the tunnel runs: before %.1f MiB, peak %.1f MiB, growth %.1f MiB (the largest of the runs)\n",
                double(idleKiB) / 1024, double(peakKiB) / 1024, double(growthKiB) / 1024);
    std::printf("tunnel, the transfer alone once the session is open: %.1f MB/s, ratio %.2f\n", mb / median(transfers),
                a / median(transfers));
    std::printf("native baseline (two peers of our WebRTC stack, 64 KiB messages, buffered amount <= 65536): %.1f MB/s\n",
                median(nativeRates));
    // Each tunnel run against the native run just before it, then the
    // median: the machine's drift between runs cancels out.
    std::printf("tunnel/native: %.2f (goal >= 0.80; median of the runs' own ratios; of the median rates %.2f)\n",
                median(pairRatios), mb / median(transfers) / median(nativeRates));
    std::printf("server CPU per MB: tunnel %.2f ms/MB (whole run of the tool), native sender %.2f ms/MB (set-up included)\n",
                1000 * median(tunnelCpu) / mb, 1000 * median(nativeCpu) / mb);

    // Session set-up: from the tool's offer to its open channel, ten times
    // with a small object, as the tool itself reports it.
    if (!putObjects(engine.ports.s3, "photos", {"bench/small.jpg"}, [](const QString &) { return QByteArray(1000, 's'); })) {
        std::fprintf(stderr, "could not store the small object\n");
        return 1;
    }
    QList<double> setups;
    for (int i = 0; i < 10; ++i) {
        QString report;
        if (timed(tool, {"--cloud-folder", cloudFolder, "--no-stun", "--local-only", "get", "photos/bench/small.jpg", out + "/small.jpg"},
                  &report)
            < 0) {
            std::fprintf(stderr, "a small transfer failed\n");
            return 1;
        }
        const auto took = QRegularExpression(QStringLiteral("the session took ([0-9.]+) s to open")).match(report);
        if (took.hasMatch())
            setups << took.captured(1).toDouble();
    }
    std::printf("tunnel session set-up (offer to open channel, median of %lld): %.3f s (goal <= 0.3 s)\n",
                static_cast<long long>(setups.size()), median(setups));

    // The other way: the same bytes up through the tunnel, read from the
    // file as they go, so neither side should grow by the object's size.
    resetPeakMemory();
    const qint64 beforePutKiB = statusKiB("VmRSS:");
    const double c = timed(tool, {"--cloud-folder", cloudFolder, "--no-stun", "--local-only", "put", out + "/tunnel.jpg",
                                  "photos/bench/up.jpg"});
    if (c < 0) {
        std::fprintf(stderr, "the upload failed\n");
        return 1;
    }
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("PUT of %lld MiB through the tunnel: %.1f MB/s (whole run of the tool); server RSS growth %.1f MiB; "
                "largest client RSS %.1f MiB\n",
                mib, mb / c, double(statusKiB("VmHWM:") - beforePutKiB) / 1024, double(children.ru_maxrss) / 1024);
    return 0;
}
