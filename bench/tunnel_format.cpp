// Throughput of the tunnel format against memcpy of the same bytes, in one
// run: (a) memcpy of 100 MiB, (b) responseMessages of a 100 MiB response,
// (c) reassembly of those chunks in memory, (d) through file storage, with
// the peak memory that (d) adds.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <malloc.h>

#include "tunnel/ChunkAssembler.h"

using namespace tavrolin;
using namespace tavrolin::HTTPTunnelProtocol;

namespace {

constexpr qsizetype kSize = 100 * 1024 * 1024;
constexpr int kRounds = 3;

double mbPerSecond(qint64 nsecs) { return (double(kSize) / (1024 * 1024)) / (double(nsecs) / 1e9); }

qint64 statusKb(const char *field)
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

void resetPeak()
{
    malloc_trim(0);
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

template <typename F>
qint64 best(F &&f)
{
    qint64 fastest = std::numeric_limits<qint64>::max();
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        fastest = std::min(fastest, t.nsecsElapsed());
    }
    return fastest;
}

QList<QByteArray> makeChunks(const TunnelResponse &response) { return responseMessages(response).value(); }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QByteArray body(kSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < kSize; ++i)
        body[i] = char(i * 7);
    const TunnelResponse response{"bench", 200, {{"Content-Type", "video/quicktime"}}, body};

    QByteArray target(kSize, Qt::Uninitialized);
    const qint64 copy = best([&] { std::memcpy(target.data(), body.constData(), size_t(kSize)); });
    target = QByteArray();
    // The same copy into memory allocated for it, as every new message is:
    // this machine's page faults are part of the price.
    const qint64 freshCopy = best([&] {
        QByteArray fresh(kSize, Qt::Uninitialized);
        std::memcpy(fresh.data(), body.constData(), size_t(kSize));
    });

    QList<QByteArray> chunks;
    const qint64 chunking = best([&] { chunks = makeChunks(response); });

    ChunkAssemblerLimits inMemory;
    inMemory.fileThreshold = qint64(1) << 40;
    inMemory.maxMemoryBytes = 2 * kSize;
    bool ok = true;
    const qint64 memory = best([&] {
        ChunkAssembler assembler({}, {}, inMemory);
        std::optional<ParsedMessage> result;
        for (const QByteArray &c : chunks)
            result = assembler.processIncoming(c);
        ok = ok && result && std::get<TunnelResponse>(*result).body->size() == kSize;
    });

    QTemporaryDir temp;
    qint64 extraPeakKb = 0;
    const qint64 file = best([&] {
        QList<QByteArray> feed = makeChunks(response);
        resetPeak();
        const qint64 before = statusKb("VmRSS:");
        ChunkAssembler assembler(temp.path());
        std::optional<ParsedMessage> result;
        while (!feed.isEmpty())
            result = assembler.processIncoming(feed.takeFirst());
        ok = ok && result && std::get<TunnelResponse>(*result).body->size() == kSize;
        extraPeakKb = std::max(extraPeakKb, statusKb("VmHWM:") - before);
    });
    if (!ok) {
        std::fprintf(stderr, "reassembly produced a wrong message\n");
        return 1;
    }

    const double a = mbPerSecond(copy), f = mbPerSecond(freshCopy), b = mbPerSecond(chunking), c = mbPerSecond(memory),
                 d = mbPerSecond(file);
    std::printf("(a)  memcpy 100 MiB into a warm buffer:  %6.0f MB/s\n", a);
    std::printf("(a') memcpy 100 MiB into a new buffer:   %6.0f MB/s  ratio to (a) %.2f\n", f, f / a);
    std::printf("(b)  responseMessages (%lld chunks):     %6.0f MB/s  ratio to (a) %.2f (goal >= 0.50), to (a') %.2f\n",
                qlonglong(chunks.size()), b, b / a, b / f);
    std::printf("(c)  reassembly in memory:               %6.0f MB/s  ratio to (a) %.2f (goal >= 0.30), to (a') %.2f\n", c, c / a, c / f);
    std::printf("(d)  reassembly through a file:          %6.0f MB/s  ratio to (a) %.2f, to (a') %.2f; peak memory added %.2f x the "
                "message (goal <= 2)\n",
                d, d / a, d / f, double(extraPeakKb) * 1024 / double(kSize));
    return 0;
}
