#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "tests/support/LogCapture.h"
#include "tunnel/ChunkAssembler.h"

using namespace tavrolin;
using namespace tavrolin::HTTPTunnelProtocol;
using tavrolin::test::LogCapture;

namespace {

struct FakeClock {
    QDateTime now = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);
    ChunkAssembler::Clock clock() { return [this] { return now; }; }
    void advance(int seconds) { now = now.addSecs(seconds); }
};

QByteArray patterned(qsizetype n, int seed = 0)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char((i + seed) % 251);
    return b;
}

QByteArray chunk(const QString &id, qint64 index, qint64 total, QByteArray payload, std::uint8_t type = 2,
                 std::optional<qint64> headerLen = {}, std::optional<qint64> bodyLen = {})
{
    const QByteArray json = encodeChunkHeader({id, index, total, type, headerLen, bodyLen});
    return encodeMessage(MessageType::Chunk, json, payload).value();
}

QList<QByteArray> responseChunks(const TunnelResponse &r)
{
    return responseMessages(r).value();
}

QStringList filesIn(const QString &dir) { return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System); }

const QByteArray kHeader = R"({"id":"r","statusCode":200,"headers":{}})";

} // namespace

TEST(ChunkAssembler, PassesWholeMessagesThroughAndRejectsScraps)
{
    ChunkAssembler assembler;
    const TunnelRequest request{"q", "GET", "/api/tavro/health", {}, std::nullopt};
    const auto parsed = assembler.processIncoming(serializeRequest(request).value());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(std::get<TunnelRequest>(*parsed), request);
    EXPECT_FALSE(assembler.processIncoming(QByteArray()).has_value());
    EXPECT_FALSE(assembler.processIncoming(QByteArray(8, '\x04')).has_value());
    EXPECT_FALSE(assembler.processIncoming(QByteArray(8, '\x01')).has_value());
    EXPECT_EQ(assembler.pendingCount(), 0);
}

TEST(ChunkAssembler, ReassemblesInAnyOrder)
{
    const TunnelResponse response{"r", 200, {{"Content-Type", "image/jpeg"}}, patterned(200000)};
    const auto chunks = responseChunks(response);
    ASSERT_EQ(chunks.size(), 4);
    std::mt19937 random(7);
    QList<int> order = {0, 1, 2, 3};
    for (int round = 0; round < 12; ++round) {
        std::shuffle(order.begin(), order.end(), random);
        ChunkAssembler assembler;
        for (int i = 0; i < order.size(); ++i) {
            const auto result = assembler.processIncoming(chunks[order[i]]);
            if (i + 1 < order.size()) {
                EXPECT_FALSE(result.has_value());
                continue;
            }
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(std::get<TunnelResponse>(*result), response);
        }
        EXPECT_EQ(assembler.pendingCount(), 0);
        EXPECT_EQ(assembler.memoryBytes(), 0);
    }
}

TEST(ChunkAssembler, CompletesOnlyWithEveryIndexPresent)
{
    LogCapture log;
    ChunkAssembler assembler;
    // Chunk 0 twice, then an index outside the message, then 2: with three
    // chunks announced, nothing is complete until 1 arrives.
    const QByteArray body0 = patterned(10), body1 = patterned(20, 1), body2 = patterned(30, 2);
    const QByteArray c0 = chunk("m", 0, 3, kHeader + body0, 2, kHeader.size(), 60);
    EXPECT_FALSE(assembler.processIncoming(c0).has_value());
    EXPECT_FALSE(assembler.processIncoming(c0).has_value());
    EXPECT_FALSE(assembler.processIncoming(chunk("m", 3, 3, "x")).has_value());
    EXPECT_FALSE(assembler.processIncoming(chunk("m", -1, 3, "x")).has_value());
    EXPECT_FALSE(assembler.processIncoming(chunk("m", 2, 3, body2)).has_value());
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Ignoring chunk "), 1) << "logged once per message";

    // A repeated index replaces the earlier slice.
    EXPECT_FALSE(assembler.processIncoming(chunk("m", 2, 3, "stale")).has_value());
    EXPECT_FALSE(assembler.processIncoming(chunk("m", 2, 3, body2)).has_value());
    const auto result = assembler.processIncoming(chunk("m", 1, 3, body1));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(std::get<TunnelResponse>(*result).body.value(), body0 + body1 + body2);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: All 3 chunks received, reassembling..."), 1);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Reassembled 60 bytes"), 1);
}

TEST(ChunkAssembler, ChunkZeroWithoutAUsableHeaderNeverCompletes)
{
    ChunkAssembler assembler;
    EXPECT_FALSE(assembler.processIncoming(chunk("short", 0, 1, "{}", 2, 50, 0)).has_value());
    EXPECT_FALSE(assembler.processIncoming(chunk("none", 0, 1, kHeader, 2)).has_value());
    EXPECT_EQ(assembler.pendingCount(), 2);
}

TEST(ChunkAssembler, OddOriginalTypesBecomeResponses)
{
    for (std::uint8_t type : {0, 9}) {
        ChunkAssembler assembler;
        const auto result = assembler.processIncoming(chunk("t", 0, 1, kHeader + "abc", type, kHeader.size(), 3));
        ASSERT_TRUE(result.has_value()) << int(type);
        EXPECT_TRUE(std::holds_alternative<TunnelResponse>(*result));
    }
    ChunkAssembler assembler;
    EXPECT_FALSE(assembler.processIncoming(chunk("c", 0, 1, kHeader, 4, kHeader.size(), 0)).has_value());
}

TEST(ChunkAssembler, LargeBodiesGoThroughAFileThatIsGoneAfterwards)
{
    QTemporaryDir temp;
    const qint64 threshold = 10 * 1024 * 1024;
    LogCapture log;
    {
        // Exactly the threshold stays in memory.
        ChunkAssembler assembler(temp.path());
        const auto chunks = responseChunks({"r", 200, {}, patterned(threshold)});
        for (qsizetype i = 0; i + 1 < chunks.size(); ++i)
            assembler.processIncoming(chunks[i]);
        EXPECT_TRUE(filesIn(temp.path()).isEmpty());
        EXPECT_GT(assembler.memoryBytes(), 0);
    }
    const TunnelResponse big{"r", 200, {}, patterned(threshold + 1)};
    const auto chunks = responseChunks(big);
    ChunkAssembler assembler(temp.path());
    std::optional<ParsedMessage> result;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        result = assembler.processIncoming(chunks[i]);
        if (i == 0) {
            const QStringList files = filesIn(temp.path());
            ASSERT_EQ(files.size(), 1);
            EXPECT_TRUE(files[0].startsWith("chunk_") && files[0].endsWith(".tmp")) << files[0].toStdString();
        }
        // A retransmitted chunk of the same size lands in place.
        if (i == 5)
            assembler.processIncoming(chunks[i]);
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(std::get<TunnelResponse>(*result), big);
    EXPECT_EQ(assembler.memoryBytes(), 0);
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
    EXPECT_EQ(log.countStartingWith(QString("ChunkAssembler: Using file storage for %1 byte message").arg(threshold + 1)), 1);
}

TEST(ChunkAssembler, LargeBodiesCanBeHandedOnInTheirFileInChunkOrder)
{
    QTemporaryDir temp;
    ChunkAssemblerLimits limits;
    limits.handOnFiles = true;
    const QByteArray body = patterned(12 * 1024 * 1024, 3);
    const TunnelRequest upload{"u", "PUT", "/photos/v.mov", {{"Content-Type", "video/quicktime"}}, body};
    const QByteArray header = encodeRequestHeader({upload.id, upload.method, upload.path, upload.headers});
    const auto chunks = createChunks(MessageType::Request, header, body).value();
    for (const bool shuffled : {false, true}) {
        ChunkAssembler assembler(temp.path(), {}, limits);
        QList<QByteArray> order = chunks;
        if (shuffled) // chunk 0 first (it announces the size), the rest in any order
            std::shuffle(order.begin() + 1, order.end(), std::mt19937(7));
        std::optional<ParsedMessage> result;
        for (const QByteArray &c : order)
            result = assembler.processIncoming(c);
        ASSERT_TRUE(result.has_value());
        TunnelRequest got = std::get<TunnelRequest>(*result);
        ASSERT_FALSE(got.bodyFile.isEmpty());
        EXPECT_FALSE(got.body.has_value());
        QFile file(got.bodyFile);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll() == body) << "shuffled " << shuffled;
        file.close();
        // Only that file is left, and it is the receiver's to remove.
        EXPECT_EQ(filesIn(temp.path()), QStringList{QFileInfo(got.bodyFile).fileName()});
        got.bodyFile.clear();
        EXPECT_EQ(got, (TunnelRequest{"u", "PUT", "/photos/v.mov", upload.headers, std::nullopt}));
        QFile::remove(file.fileName());
    }
    // An error message carries no body: its file goes at once.
    ChunkAssembler assembler(temp.path(), {}, limits);
    const QByteArray errorHeader = R"({"id":"e","code":1,"message":"m"})";
    std::optional<ParsedMessage> result;
    const auto errorChunks = createChunks(MessageType::Error, errorHeader, body).value();
    for (const QByteArray &c : errorChunks)
        result = assembler.processIncoming(c);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(std::holds_alternative<TunnelError>(*result));
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
}

TEST(ChunkAssembler, FirstArrivingLaterChunkMeansMemory)
{
    QTemporaryDir temp;
    ChunkAssembler assembler(temp.path());
    const auto chunks = responseChunks({"r", 200, {}, patterned(20 * 1024 * 1024)});
    for (qsizetype i = chunks.size() - 1; i >= 1; --i)
        assembler.processIncoming(chunks[i]);
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
    EXPECT_TRUE(assembler.processIncoming(chunks[0]).has_value());
}

TEST(ChunkAssembler, HostileMessageIdsNeverNameAFile)
{
    QTemporaryDir root;
    const QString temp = root.path() + "/tmp";
    QDir().mkpath(temp);
    ChunkAssembler::Limits limits;
    limits.maxFileMessages = 20;
    ChunkAssembler assembler(temp, {}, limits);
    const qint64 big = 11 * 1024 * 1024;
    const QStringList ids = {"../x", "/etc/passwd", "../../../../../../tmp/evil", QString(10000, 'a'), QString::fromUtf8("a\0b", 3),
                             "chunk_", "", "con", QString::fromUtf8("\xF0\x9F\x93\xB7/..")};
    for (const QString &id : ids)
        assembler.processIncoming(chunk(id, 0, 200, kHeader + "x", 2, kHeader.size(), big));
    EXPECT_EQ(filesIn(temp).size(), ids.size());
    for (const QString &name : filesIn(temp))
        EXPECT_TRUE(name.startsWith("chunk_") && name.size() < 60) << name.toStdString();
    EXPECT_EQ(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"tmp"});
}

TEST(ChunkAssembler, StaleMessagesAreSweptWithBothLogLines)
{
    LogCapture log;
    FakeClock clock;
    QTemporaryDir temp;
    auto assembler = std::make_unique<ChunkAssembler>(temp.path(), clock.clock());
    assembler->processIncoming(chunk("old", 0, 200, kHeader + "a", 2, kHeader.size(), 11 * 1024 * 1024));
    ASSERT_EQ(filesIn(temp.path()).size(), 1);
    clock.advance(30);
    assembler->processIncoming(chunk("young", 1, 3, "b"));
    EXPECT_EQ(assembler->pendingCount(), 2) << "30 s is not stale";
    clock.advance(31);
    assembler->processIncoming(chunk("other", 1, 3, "c"));
    EXPECT_EQ(assembler->pendingCount(), 2);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Cleaning up stale message 'old' - received 1/200 chunks, last update: 2026-01-01 12:00:00"), 1);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Cleaned up 1 stale pending messages"), 1);
    EXPECT_TRUE(filesIn(temp.path()).isEmpty()) << "the stale message's file goes with it";

    // Ending the session removes what is left.
    assembler->processIncoming(chunk("late", 0, 200, kHeader + "a", 2, kHeader.size(), 11 * 1024 * 1024));
    ASSERT_EQ(filesIn(temp.path()).size(), 1);
    assembler.reset();
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
}

TEST(ChunkAssembler, AnnouncementsThatCannotBeTrueAreRejected)
{
    LogCapture log;
    QTemporaryDir temp;
    ChunkAssembler assembler(temp.path());
    struct Case {
        qint64 total;
        std::optional<qint64> headerLen, bodyLen;
    };
    const Case cases[] = {{0, {}, {}}, {-1, {}, {}}, {qint64(1) << 40, {}, {}}, {3, 10, -1}, {3, -5, 10},
                          {300000, 10, qint64(17) * 1024 * 1024 * 1024}, {70000, 10, qint64(1) << 32}, {2, 10, 1000000000}, {1, 65528, 0}};
    int n = 0;
    for (const Case &c : cases) {
        const QString id = QString("bad%1").arg(n++);
        EXPECT_FALSE(assembler.processIncoming(chunk(id, 0, c.total, kHeader + "x", 2, c.headerLen, c.bodyLen)).has_value());
        // Later chunks of a rejected message are ignored too.
        EXPECT_FALSE(assembler.processIncoming(chunk(id, 1, c.total, "y")).has_value());
    }
    EXPECT_EQ(assembler.pendingCount(), 0);
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Dropping message 'bad"), n);
}

TEST(ChunkAssembler, MemoryAndFileGrowthAreBoundedByWhatArrives)
{
    LogCapture log;
    QTemporaryDir temp;
    ChunkAssembler::Limits limits;
    limits.maxMemoryBytes = 300000;
    ChunkAssembler assembler(temp.path(), {}, limits);
    // Later chunks of messages whose chunk 0 never comes.
    for (int m = 0; m < 10; ++m)
        for (int i = 1; i <= 3; ++i)
            assembler.processIncoming(chunk(QString("m%1").arg(m), i, 10, patterned(60000)));
    EXPECT_LE(assembler.memoryBytes(), limits.maxMemoryBytes);
    EXPECT_GT(log.countStartingWith("ChunkAssembler: Dropping message 'm"), 0);

    // A file message whose retransmissions change size grows no further
    // than its announced size plus one chunk.
    const qint64 announced = 11 * 1024 * 1024;
    assembler.processIncoming(chunk("f", 0, 200, kHeader + "x", 2, kHeader.size(), announced));
    for (int round = 0; round < 400; ++round)
        assembler.processIncoming(chunk("f", 1, 200, patterned(60000 + round % 2)));
    const QStringList files = filesIn(temp.path());
    for (const QString &f : files)
        EXPECT_LE(QFileInfo(temp.path() + "/" + f).size(), announced + kChunkSpace);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Dropping message 'f'"), 1);
    EXPECT_TRUE(files.isEmpty());
}

TEST(ChunkAssembler, AMessageWithNowhereToStoreItsBodyIsDropped)
{
    LogCapture log;
    ChunkAssembler assembler("/nonexistent/folder");
    const auto chunks = responseChunks({"r", 200, {}, patterned(11 * 1024 * 1024)});
    std::optional<ParsedMessage> last;
    for (const QByteArray &c : chunks)
        last = assembler.processIncoming(c);
    EXPECT_FALSE(last.has_value()) << "never delivered with an empty body";
    EXPECT_EQ(assembler.pendingCount(), 0);
    EXPECT_EQ(assembler.memoryBytes(), 0);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Dropping message '"), 1);
}

TEST(ChunkAssembler, ManyThreadsFeedOneAssembler)
{
    ChunkAssembler assembler;
    std::atomic<int> completed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int m = 0; m < 5; ++m) {
                const TunnelResponse r{QString("t%1m%2").arg(t).arg(m), 200, {}, patterned(150000, t + m)};
                for (const QByteArray &c : responseChunks(r))
                    if (auto result = assembler.processIncoming(c); result && std::get<TunnelResponse>(*result) == r)
                        ++completed;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(completed, 20);
    EXPECT_EQ(assembler.pendingCount(), 0);
}

TEST(ChunkAssembler, LongMessagesReportProgressEveryThousandChunks)
{
    LogCapture log;
    ChunkAssembler assembler;
    const qint64 total = 2000;
    std::optional<ParsedMessage> result;
    for (qint64 i = total - 1; i >= 0; --i)
        result = assembler.processIncoming(i == 0 ? chunk("p", 0, total, kHeader + "b", 2, kHeader.size(), total)
                                                  : chunk("p", i, total, "b"));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(std::get<TunnelResponse>(*result).body->size(), total);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Received 1000/2000 chunks"), 1);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Received 2000/2000 chunks"), 1);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Received "), 2);
}

// Large messages land on the disk that usually holds the photos too: one
// that would leave too little free is refused before a byte is written, and
// what earlier large messages may still write counts as taken.
TEST(ChunkAssembler, LargeMessagesLeaveTheDiskItsReserve)
{
    LogCapture log;
    QTemporaryDir temp;
    const qint64 mib = 1024 * 1024;
    qint64 free = 100 * mib;
    ChunkAssembler::Limits limits;
    limits.keepFreeBytes = 50 * mib;
    QString askedAbout;
    limits.freeBytes = [&](const QString &folder) {
        askedAbout = folder;
        return free;
    };
    ChunkAssembler assembler(temp.path(), {}, limits);
    auto announce = [&](const QString &id, qint64 body) {
        assembler.processIncoming(chunk(id, 0, 2000, kHeader + "x", 2, kHeader.size(), body));
    };
    announce("fits", 30 * mib);     // 100 - 30 leaves 70
    announce("too-big", 21 * mib);  // 100 - 30 - 21 leaves 49
    announce("also-fits", 11 * mib); // leaves 59
    EXPECT_EQ(askedAbout, temp.path());
    EXPECT_EQ(filesIn(temp.path()).size(), 2);
    EXPECT_EQ(log.countStartingWith(QString("ChunkAssembler: Dropping message 'too-big': not enough free space for a %1 byte "
                                            "message (%2 bytes free)")
                                        .arg(21 * mib)
                                        .arg(100 * mib)),
              1)
        << log.lines().join('\n').toStdString();
    // Its later chunks are ignored rather than starting it over.
    assembler.processIncoming(chunk("too-big", 1, 2000, "y", 2));
    EXPECT_EQ(filesIn(temp.path()).size(), 2);

    // Small messages stay in memory and are not held to it.
    free = 0;
    std::optional<ParsedMessage> result;
    for (const QByteArray &c : responseChunks({"small", 200, {}, patterned(200 * 1024)}))
        result = assembler.processIncoming(c);
    EXPECT_TRUE(result.has_value());
    // A folder whose free space is unknown is not refused on a guess.
    free = -1;
    announce("unknown", 40 * mib);
    EXPECT_EQ(filesIn(temp.path()).size(), 3);
    // Responses have nobody to tell.
    EXPECT_TRUE(assembler.takeRefusals().isEmpty());
}

// A refused upload whose first chunk named the request can be answered:
// its id and the reason are kept until taken, once.
TEST(ChunkAssembler, RefusedRequestsAreNamedForAnAnswer)
{
    QTemporaryDir temp;
    ChunkAssembler::Limits limits;
    limits.freeBytes = [](const QString &) { return qint64(0); };
    limits.maxMemoryBytes = 200 * 1024;
    ChunkAssembler assembler(temp.path(), {}, limits);
    const QByteArray header = encodeRequestHeader({"up-1", "PUT", "/photos/a.mov", {}});
    // No room on the disk for it.
    assembler.processIncoming(chunk("m1", 0, 400, header + "x", 1, header.size(), 20 * 1024 * 1024));
    // Past what the session may hold in memory, after its first chunk.
    const QByteArray second = encodeRequestHeader({"up-2", "PUT", "/photos/b.jpg", {}});
    const QByteArray big(60000, 'b');
    assembler.processIncoming(chunk("m2", 0, 5, second + big, 1, second.size(), 4 * 60000 + 60000 - second.size()));
    for (int i = 1; i < 4; ++i)
        assembler.processIncoming(chunk("m2", i, 5, big, 1));
    // Announced beyond any body, and a chunk 0 without a readable header.
    assembler.processIncoming(chunk("m3", 0, 2, header + "x", 1, header.size(), 0x1'0000'0000LL));
    assembler.processIncoming(chunk("m4", 0, 2, "not json", 1, 8, 0x1'0000'0000LL));

    const auto refusals = assembler.takeRefusals();
    ASSERT_EQ(refusals.size(), 3);
    EXPECT_EQ(refusals[0].requestId, "up-1");
    EXPECT_TRUE(refusals[0].reason.startsWith("not enough free space")) << refusals[0].reason.toStdString();
    EXPECT_EQ(refusals[1].requestId, "up-2");
    EXPECT_TRUE(refusals[1].reason.contains("bytes of partial messages")) << refusals[1].reason.toStdString();
    EXPECT_EQ(refusals[2].requestId, "up-1");
    EXPECT_TRUE(refusals[2].reason.startsWith("announced body")) << refusals[2].reason.toStdString();
    EXPECT_TRUE(assembler.takeRefusals().isEmpty());
    EXPECT_TRUE(filesIn(temp.path()).isEmpty());
}

TEST(ChunkAssembler, ASessionHoldsOnlySoManyPartialMessagesAndFiles)
{
    LogCapture log;
    QTemporaryDir temp;
    ChunkAssembler::Limits limits;
    limits.maxPendingMessages = 50;
    ChunkAssembler assembler(temp.path(), {}, limits);
    for (int m = 0; m < 200; ++m)
        assembler.processIncoming(chunk(QString("p%1").arg(m), 5, 3, "x"));
    EXPECT_EQ(assembler.pendingCount(), 50);

    ChunkAssembler files(temp.path());
    for (int m = 0; m < 10; ++m)
        files.processIncoming(chunk(QString("f%1").arg(m), 0, 200, kHeader + "x", 2, kHeader.size(), 11 * 1024 * 1024));
    EXPECT_EQ(filesIn(temp.path()).size(), 4);
    EXPECT_EQ(log.countStartingWith("ChunkAssembler: Dropping message 'f"), 6);

    // A finished large message makes room for the next.
    limits.maxFileMessages = 1;
    QTemporaryDir otherTemp;
    ChunkAssembler oneAtATime(otherTemp.path(), {}, limits);
    for (int round = 0; round < 2; ++round) {
        std::optional<ParsedMessage> result;
        for (const QByteArray &c : responseChunks({"r", 200, {}, patterned(11 * 1024 * 1024, round)}))
            result = oneAtATime.processIncoming(c);
        EXPECT_TRUE(result.has_value()) << round;
    }
    EXPECT_TRUE(filesIn(otherTemp.path()).isEmpty());
}
