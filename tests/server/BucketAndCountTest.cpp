// Bucket provisioning and object counting against a gateway whose every
// answer the test chooses.

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct CountHarness : Harness {
    QList<int> bucketAnswers;                        // consumed one per PUT; 200 once empty
    std::function<FakeS3::Response(const QByteArray &)> listing; // by request target
    FakeS3 gateway{[this](const FakeS3::Request &r) { return answer(r); }};

    CountHarness()
        : Harness(kIdleEngine)
    {
        listing = [](const QByteArray &) { return FakeS3::Response{200, listPage({}, false)}; };
        gateway.listen(ports.s3);
    }

    FakeS3::Response answer(const FakeS3::Request &r)
    {
        if (r.method == "PUT")
            return {bucketAnswers.isEmpty() ? 200 : bucketAnswers.takeFirst(), {}};
        if (r.target.startsWith("/photos?"))
            return listing(r.target);
        return {200, "<ListAllMyBucketsResult/>"};
    }

    QList<QByteArray> listRequests() const
    {
        QList<QByteArray> out;
        for (const auto &r : gateway.requests)
            if (r.target.startsWith("/photos?"))
                out << r.target;
        return out;
    }

    void start()
    {
        runTask(manager->startServer());
        ASSERT_TRUE(manager->isRunning());
    }
};

} // namespace

TEST(Bucket, ExistingBucketIsReadyAtOnceAndEarly500sAreRetried)
{
    CountHarness exists;
    exists.bucketAnswers = {409};
    exists.start();
    EXPECT_TRUE(exists.manager->bucketReady());
    EXPECT_TRUE(exists.log.contains("Default 'photos' bucket ready"));
    EXPECT_EQ(exists.log.countStartingWith("Failed to create bucket"), 0);

    // The engine answers 500 while it grows its first volumes.
    CountHarness growing;
    growing.bucketAnswers = {500, 500};
    QElapsedTimer timer;
    timer.start();
    growing.start();
    EXPECT_TRUE(growing.manager->bucketReady());
    EXPECT_TRUE(growing.log.contains("Failed to create bucket (attempt 1): HTTP 500"));
    EXPECT_TRUE(growing.log.contains("Failed to create bucket (attempt 2): HTTP 500"));
    EXPECT_GE(timer.elapsed(), (1 + 2) * 50);

    runTask(growing.manager->stopServer());
    EXPECT_FALSE(growing.manager->bucketReady());
}

TEST(ObjectCount, SumsPagesLeavesThumbnailsOutAndEncodesTheToken)
{
    CountHarness h;
    const QString token = "2024/a&b+c=d e~f.jpg";
    h.listing = [&](const QByteArray &target) {
        if (!target.contains("continuation-token="))
            return FakeS3::Response{200, listPage({"a.jpg", "a_thumb.jpg"}, true, token)};
        return FakeS3::Response{200, listPage({"b.mov", "c_thumb.jpg.mov"}, false)};
    };
    h.start();
    EXPECT_EQ(h.manager->objectCount(), 3);
    EXPECT_TRUE(h.log.contains("Object count updated: 3 objects"));
    const auto targets = h.listRequests();
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0], "/photos?list-type=2&max-keys=1000");
    EXPECT_EQ(targets[1], "/photos?list-type=2&max-keys=1000&continuation-token=2024%2Fa%26b%2Bc%3Dd%20e~f.jpg");
}

TEST(ObjectCount, AFailedOrMalformedPageKeepsThePreviousCount)
{
    CountHarness h;
    FakeS3::Response secondPage{200, listPage({"b.jpg"}, false)};
    h.listing = [&](const QByteArray &target) {
        if (!target.contains("continuation-token="))
            return FakeS3::Response{200, listPage({"a.jpg", "z.jpg"}, true, "z.jpg")};
        return secondPage;
    };
    h.start();
    ASSERT_EQ(h.manager->objectCount(), 3);

    secondPage = {500, "<Error/>"};
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 3);
    EXPECT_TRUE(h.log.contains("Failed to list objects: HTTP 500"));
    EXPECT_TRUE(h.log.contains("Object count not updated; keeping 3 objects"));

    secondPage = {200, "<ListBucketResult><Contents><Key>b.jpg</Key></Contents><Conte"};
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 3);

    EXPECT_EQ(h.log.countStartingWith("Failed to list objects: malformed page"), 1);

    // A gateway that is gone.
    h.gateway.close();
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 3);
    EXPECT_EQ(h.log.countStartingWith("Failed to count objects: "), 1);
}

TEST(ObjectCount, TruncatedWithoutTokenEndsAfterThatPage)
{
    CountHarness h;
    h.listing = [](const QByteArray &) { return FakeS3::Response{200, listPage({"a.jpg", "b.jpg"}, true)}; };
    h.start();
    EXPECT_EQ(h.manager->objectCount(), 2);
    EXPECT_EQ(h.listRequests().size(), 1);
}

TEST(ObjectCount, OverlappingCountsRunOnceAndNothingIsCountedWhileStopped)
{
    CountHarness h;
    int delay = 0;
    h.listing = [&](const QByteArray &) { return FakeS3::Response{200, listPage({"a.jpg"}, false), delay}; };
    h.start();
    ASSERT_EQ(h.listRequests().size(), 1);

    delay = 300;
    auto first = h.manager->updateObjectCount();
    auto second = h.manager->updateObjectCount(); // while the first waits for its page
    QCoro::waitFor(std::move(first));
    QCoro::waitFor(std::move(second));
    EXPECT_EQ(h.listRequests().size(), 2);

    runTask(h.manager->stopServer());
    const int linesBefore = h.log.lines().size();
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.listRequests().size(), 2);
    EXPECT_EQ(h.log.lines().size(), linesBefore);
    EXPECT_EQ(h.manager->objectCount(), 1) << "a stop keeps the last count";
}

TEST(ObjectCount, RepeatsOnItsTimerUntilStopped)
{
    CountHarness h;
    h.manager.reset();
    ServerManagerConfig config = testConfig(h.sandbox, h.ports, h.sandbox.path("weed"));
    config.secondMs = 50;
    config.countIntervalMs = 100;
    config.verifyEnginePorts = false;
    config.verifyWritable = false;
    h.manager = std::make_unique<ServerManager>(config);
    h.start();
    EXPECT_TRUE(waitUntil([&] { return h.listRequests().size() >= 3; }, 5s));
    runTask(h.manager->stopServer());
    const auto afterStop = h.listRequests().size();
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(h.listRequests().size(), afterStop);
}

// Another folder is another library: the old count does not stay on show,
// and an error about the old choice goes once a new one is made.
TEST(ObjectCount, AnotherFolderForgetsTheOldLibrarysCountAndError)
{
    CountHarness h;
    h.listing = [](const QByteArray &) { return FakeS3::Response{200, listPage({"a.jpg", "b.jpg", "c.jpg"}, false)}; };
    h.start();
    ASSERT_EQ(h.manager->objectCount(), 3);
    // Chosen while running: the running library's count stands.
    QDir().mkpath(h.sandbox.path("other"));
    h.manager->setStoragePath(h.sandbox.path("other"));
    EXPECT_EQ(h.manager->objectCount(), 3);
    runTask(h.manager->stopServer());
    QDir().mkpath(h.sandbox.path("third"));
    h.manager->setStoragePath(h.sandbox.path("third"));
    EXPECT_EQ(h.manager->objectCount(), 0);

    Harness first(kIdleEngine, false);
    runTask(first.manager->startServer());
    EXPECT_EQ(first.manager->error(), "Please select a storage location first");
    QDir().mkpath(first.sandbox.storage());
    first.manager->setStoragePath(first.sandbox.storage());
    EXPECT_EQ(first.manager->error(), "");
}
