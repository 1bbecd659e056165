#pragma once
// One burst from our side of the channel to a peer over loopback, as the
// channel benchmarks measure it: the peer is the independent aiortc one or
// a peer of our own stack (webrtc_native_peer, beside the benchmark).
#include "tests/support/TestSupport.h"
#include "tests/support/Wait.h"
#include "tests/support/WebRTCPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <cstdio>
#include <sys/resource.h>

namespace tavrolin::bench {

using namespace tavrolin::test;
using namespace std::chrono_literals;

inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    bool ok = false;
    double seconds = 0, serverCpu = 0, peerCpu = 0;
    DrainStats drain;
    quint64 maxBuffered = 0;
};

enum class Peer { Native, Aiortc };

inline Run run(qint64 bytes, bool wake, Peer kind = Peer::Aiortc)
{
    std::unique_ptr<AiortcPeer> owned =
        kind == Peer::Native
            ? std::make_unique<AiortcPeer>(AiortcPeer::Program{QCoreApplication::applicationDirPath() + QStringLiteral("/webrtc_native_peer"),
                                                               {QString::number(bytes)}})
            : std::make_unique<AiortcPeer>(QStringLiteral("sink"), bytes);
    AiortcPeer &peer = *owned;
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


} // namespace tavrolin::bench
