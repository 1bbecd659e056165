// Server -> peer over loopback through the draining send, in one run:
// (n) a peer of our own stack, the baseline of what the stack moves between
// two of its peers; (a) the independent aiortc peer, waits woken by the
// stack's buffered-amount reports; (b) aiortc with plain 50 ms polls.
// Prints MB/s, the server's CPU per MB, their ratios and where the time went.
#include "bench/ChannelRun.h"

using namespace tavrolin;
using namespace tavrolin::bench;


int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 64;
    const qint64 bytes = mib * 1024 * 1024;
    const double mb = double(bytes) / 1e6;
    std::printf("webrtc_channel: %lld MiB server -> peer in 64 KiB messages, buffered amount <= 65536\n", mib);
    const Run native = run(bytes, true, Peer::Native);
    const Run woken = run(bytes, true);
    const Run polled = run(bytes, false);
    if (!native.ok || !woken.ok || !polled.ok)
        return 1;
    const double mbNative = mb / native.seconds, mbWoken = mb / woken.seconds, mbPolled = mb / polled.seconds;
    const auto line = [&](const char *name, double rate, const Run &r) {
        std::printf("  %-28s %8.2f MB/s  %6.2f s  server CPU %5.2f s (%.2f ms/MB)  peer CPU %5.2f s\n", name, rate, r.seconds,
                    r.serverCpu, 1000 * r.serverCpu / mb, r.peerCpu);
    };
    line("(n) native peer, same stack:", mbNative, native);
    line("(a) aiortc, woken by stack:", mbWoken, woken);
    line("(b) aiortc, 50 ms polls:", mbPolled, polled);
    std::printf("  native baseline: %.2f MB/s\n", mbNative);
    std::printf("  aiortc/native: %.2f (aiortc is CPU-bound in Python)\n", mbWoken / mbNative);
    std::printf("  ratio (a)/(b): %.1f\n", mbWoken / mbPolled);
    for (const auto &[name, r] : {std::pair{"(n)", native}, std::pair{"(a)", woken}, std::pair{"(b)", polled}})
        std::printf("  %s %lld sends, %lld waited for the channel, %.2f s waiting in all; most buffered seen %llu bytes\n", name,
                    r.drain.sends, r.drain.waitedSends, double(r.drain.waitedMicroseconds) / 1e6,
                    (unsigned long long)r.maxBuffered);
    return 0;
}
