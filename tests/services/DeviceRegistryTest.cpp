#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include <csignal>

#include "services/ApiRouter.h"
#include "services/DeviceRegistry.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct Registry {
    Sandbox sandbox;
    QDateTime now = QDateTime(QDate(2025, 3, 1), QTime(9, 30), Qt::UTC);
    QString file() const { return sandbox.path("data/device_registry.json"); }
    std::unique_ptr<DeviceRegistry> open(int maxDevices = DeviceRegistry::kMaxDevices,
                                         int maxNewPerSource = DeviceRegistry::kMaxNewPerSource)
    {
        return std::make_unique<DeviceRegistry>(file(), [this] { return now; }, maxDevices, maxNewPerSource);
    }
    void write(const QByteArray &bytes) const
    {
        QDir().mkpath(sandbox.data());
        QFile f(file());
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
    }
    QByteArray read() const
    {
        QFile f(file());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

RegistrationResult enroll(DeviceRegistry &registry, const QString &id, const QString &name, ConnectionType type,
                          const QString &source = "192.0.2.1")
{
    return QCoro::waitFor(registry.registerDevice(id, name, type, source));
}

ApiResponse call(const ApiRouter &router, ApiRequest request, ApiTransport transport = ApiTransport::Lan)
{
    return QCoro::waitFor(router.route(std::move(request), transport));
}

} // namespace

TEST(DeviceRegistry, ReadsAHandWrittenFileAndListsIt)
{
    Registry r;
    // lastSeen counts seconds since 2001-01-01T00:00:00Z.
    r.write(R"([{"id":"A1B2C3D4E5","name":"Ann's phone","lastSeen":762514200.25,"connectionType":"lan"},)"
            R"({"connectionType":"webrtc","lastSeen":0,"name":"Tablet","id":"x"}])");
    LogCapture log;
    auto registry = r.open();
    EXPECT_TRUE(log.contains("DeviceRegistry: Loaded 2 devices"));
    ASSERT_EQ(registry->deviceCount(), 2);
    EXPECT_EQ(registry->devices()[0].lastSeen, QDateTime(QDate(2025, 3, 1), QTime(9, 30, 0, 250), Qt::UTC));
    EXPECT_EQ(registry->devices()[1].connectionType, ConnectionType::WebRTC);

    const std::string listing = registry->deviceListResponse().dump();
    EXPECT_EQ(listing, R"({"deviceCount":2,"devices":[{"id":"A1B2C3D4E5","name":"Ann's phone","lastSeen":"2025-03-01T09:30:00Z",)"
                       R"("connectionType":"lan"},{"id":"x","name":"Tablet","lastSeen":"2001-01-01T00:00:00Z","connectionType":"webrtc"}]})");

    Registry empty;
    LogCapture emptyLog;
    EXPECT_EQ(empty.open()->deviceListResponse().dump(), R"({"deviceCount":0,"devices":[]})");
    EXPECT_TRUE(emptyLog.contains("DeviceRegistry: No existing registry found"));
}

TEST(DeviceRegistry, RegistersUpdatesInPlaceAndSavesTheFileFormat)
{
    Registry r;
    LogCapture log;
    auto registry = r.open();
    EXPECT_EQ(enroll(*registry, "PHONE-1234-5678", "Ann", ConnectionType::Lan).deviceCount, 1);
    EXPECT_TRUE(log.contains("DeviceRegistry: Registered new device 'Ann' (id: PHONE-12...)"));
    EXPECT_EQ(r.read(), R"([{"id":"PHONE-1234-5678","name":"Ann","lastSeen":762514200.0,"connectionType":"lan"}])");

    EXPECT_EQ(enroll(*registry, "phone-1234-5678", "Other case", ConnectionType::Lan).deviceCount, 2);
    r.now = r.now.addSecs(60);
    EXPECT_EQ(enroll(*registry, "PHONE-1234-5678", "Ann again", ConnectionType::WebRTC).deviceCount, 2);
    EXPECT_TRUE(log.contains("DeviceRegistry: Updated device 'Ann again' (id: PHONE-12...)"));
    const RegisteredDevice first = registry->devices()[0];
    EXPECT_EQ(first.name, "Ann again");
    EXPECT_EQ(first.connectionType, ConnectionType::WebRTC);
    EXPECT_EQ(first.lastSeen, r.now);
    EXPECT_EQ(enroll(*registry, "ab", "Short", ConnectionType::Lan).deviceCount, 3);
    EXPECT_TRUE(log.contains("DeviceRegistry: Registered new device 'Short' (id: ab...)"));

    // What was saved reads back the same.
    EXPECT_EQ(r.open()->devices(), registry->devices());
}

TEST(DeviceRegistry, AnUnreadableFileIsKeptAsideNeverOverwritten)
{
    for (const QByteArray &bad : {QByteArray(R"([{"id":"a","name":"n","lastSeen":1,"connectionType":"bluetooth"}])"),
                                  QByteArray(R"([{"id":"a","name":"n","connectionType":"lan"}])"), QByteArray("[{\"id\":"),
                                  QByteArray(R"({"id":"a"})"), QByteArray(R"([{"id":1,"name":"n","lastSeen":1,"connectionType":"lan"}])")}) {
        Registry r;
        r.write(bad);
        LogCapture log;
        auto registry = r.open();
        EXPECT_EQ(registry->deviceCount(), 0);
        EXPECT_EQ(log.countStartingWith("DeviceRegistry: Failed to load registry: "), 1) << bad.toStdString();
        const QStringList aside = QDir(r.sandbox.data()).entryList({"device_registry.json.corrupt-*"});
        ASSERT_EQ(aside.size(), 1);
        QFile kept(r.sandbox.data() + "/" + aside[0]);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), bad);

        enroll(*registry, "new", "New", ConnectionType::Lan);
        EXPECT_EQ(r.open()->deviceCount(), 1);
    }
}

// A file past the registry's bounds is not one it wrote: it is kept aside
// like a damaged one, and not read into memory first.
TEST(DeviceRegistry, AFileBeyondItsBoundsIsKeptAsideUnread)
{
    QByteArray tooMany = "[";
    for (int i = 0; i < 4; ++i)
        tooMany += QByteArray(i ? "," : "") + R"({"id":"d)" + QByteArray::number(i) + R"(","name":"n","lastSeen":1,"connectionType":"lan"})";
    tooMany += "]";
    {
        Registry r;
        r.write(tooMany);
        LogCapture log;
        EXPECT_EQ(r.open(3)->deviceCount(), 0);
        EXPECT_TRUE(log.contains("DeviceRegistry: Failed to load registry: more than 3 devices"));
        EXPECT_EQ(QDir(r.sandbox.data()).entryList({"device_registry.json.corrupt-*"}).size(), 1);
    }
    {
        Registry r;
        r.write("[]");
        QFile file(r.file());
        ASSERT_TRUE(file.resize(DeviceRegistry::kFileBounds.maxBytes + 1)); // sparse: costs nothing
        LogCapture log;
        // The peak, reset first: a file read whole and freed again would
        // leave the current figure where it was.
        ASSERT_TRUE(resetPeakMemory());
        const qint64 before = processStatusBytes("VmHWM:");
        EXPECT_EQ(r.open()->deviceCount(), 0);
        EXPECT_LT(processStatusBytes("VmHWM:") - before, 16 << 20);
        EXPECT_TRUE(log.contains(QString("DeviceRegistry: Failed to load registry: larger than %1 bytes").arg(DeviceRegistry::kFileBounds.maxBytes)));
        EXPECT_EQ(QDir(r.sandbox.data()).entryList({"device_registry.json.corrupt-*"}).size(), 1);
    }
    Registry r;
    r.write("[" + QByteArray(40, '[') + QByteArray(40, ']') + "]");
    LogCapture log;
    EXPECT_EQ(r.open()->deviceCount(), 0);
    EXPECT_TRUE(log.contains("DeviceRegistry: Failed to load registry: not valid JSON within the registry's bounds"));
}

// Found by fuzzing: an id listed twice loaded as two devices.
TEST(DeviceRegistry, AnIdListedTwiceIsOneDeviceAsLastSeen)
{
    Registry r;
    r.write(R"([{"id":"A","name":"Old name","lastSeen":100,"connectionType":"lan"},)"
            R"({"id":"B","name":"Laptop","lastSeen":150,"connectionType":"lan"},)"
            R"({"id":"A","name":"New name","lastSeen":200,"connectionType":"webrtc"},)"
            R"({"id":"A","name":"Older","lastSeen":50,"connectionType":"lan"}])");
    auto registry = r.open();
    ASSERT_EQ(registry->deviceCount(), 2);
    EXPECT_EQ(registry->devices()[0].id, "A");
    EXPECT_EQ(registry->devices()[0].name, "New name");
    EXPECT_EQ(registry->devices()[0].connectionType, ConnectionType::WebRTC);
    EXPECT_EQ(registry->devices()[1].id, "B");
}

TEST(DeviceRegistry, BoundsWhatOneRequestCanAdd)
{
    Registry r;
    auto registry = r.open(3);
    EXPECT_FALSE(enroll(*registry, QString(257, 'i'), "n", ConnectionType::Lan).ok());
    EXPECT_FALSE(enroll(*registry, "i", QString(257, 'n'), ConnectionType::Lan).ok());
    EXPECT_TRUE(enroll(*registry, QString(256, 'i'), QString(256, 'n'), ConnectionType::Lan).ok());
    EXPECT_TRUE(enroll(*registry, "b", "n", ConnectionType::Lan).ok());
    EXPECT_TRUE(enroll(*registry, "c", "n", ConnectionType::Lan).ok());
    const auto full = enroll(*registry, "d", "n", ConnectionType::Lan);
    EXPECT_FALSE(full.ok());
    EXPECT_EQ(full.deviceCount, 3);
    EXPECT_EQ(full.error, "The registry is full (3 devices)");
    EXPECT_TRUE(enroll(*registry, "b", "renamed", ConnectionType::WebRTC).ok()) << "known ids always update";
}

TEST(DeviceRegistry, AKilledWriterAlwaysLeavesAReadableFile)
{
    Registry r;
    const QString child = QCoreApplication::applicationDirPath() + "/registry_crash_child";
    int lastCount = 0;
    for (int round = 0; round < 8; ++round) {
        ChildProcess writer(child, {r.file()});
        ASSERT_TRUE(writer.running());
        waitUntil([] { return false; }, std::chrono::milliseconds(100 + QRandomGenerator::global()->bounded(200)));
        ::kill(pid_t(writer.pid()), SIGKILL);
        ASSERT_TRUE(writer.process().waitForFinished(5000));
        LogCapture log;
        auto registry = r.open();
        EXPECT_EQ(log.countStartingWith("DeviceRegistry: Failed to load registry"), 0) << "round " << round;
        EXPECT_GE(registry->deviceCount(), lastCount);
        lastCount = registry->deviceCount();
    }
    EXPECT_GT(lastCount, 0);
}

TEST(DeviceRegistry, AFullDiskRefusesTheRegistrationAndKeepsEveryDevice)
{
    // Photos fill the disk the data folder is on: a registration then must
    // neither be answered as done nor empty the file of the devices it had.
    TmpfsMount drive("1m");
    if (!drive.ok())
        GTEST_SKIP() << "skipped: " << drive.error().toStdString();
    LogCapture log;
    const QString file = drive.path() + "/data/device_registry.json";
    DeviceRegistry registry(file);
    ApiRouter router(registry);
    const auto registerDevice = [&](const char *id) {
        const QByteArray body = QByteArray(R"({"deviceId":")") + id + R"(","deviceName":"Phone"})";
        return call(router, {"POST", "/api/tavro/register-device", body});
    };
    ASSERT_EQ(registerDevice("first").status, 200);
    const QByteArray saved = [&] { QFile f(file); f.open(QIODevice::ReadOnly); return f.readAll(); }();

    QFile filler(drive.path() + "/photos.bin");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(64 * 1024, 'p');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    const ApiResponse refused = registerDevice("second");
    EXPECT_EQ(refused.status, 500);
    EXPECT_TRUE(QString::fromStdString(refused.body.value("error", "")).startsWith("The registry could not be saved"))
        << refused.body.dump();
    EXPECT_EQ(registry.deviceCount(), 1);
    EXPECT_EQ(call(router, {"GET", "/api/tavro/device-count", {}}).body["deviceCount"], 1);
    EXPECT_EQ(log.countStartingWith("DeviceRegistry: Failed to save registry: "), 1) << log.joined().toStdString();
    QFile after(file);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), saved);
    EXPECT_EQ(QDir(drive.path() + "/data").entryList(QDir::Files | QDir::Hidden), QStringList{"device_registry.json"});
    // An update of a known device is refused the same way, and nothing of it stays.
    EXPECT_EQ(registerDevice("first").status, 500);
    EXPECT_EQ(registry.devices().first().name, "Phone");

    // Room again: the same registration goes through, and a restart keeps both.
    filler.remove();
    EXPECT_EQ(registerDevice("second").status, 200);
    EXPECT_EQ(DeviceRegistry(file).deviceCount(), 2);
}

TEST(DeviceRegistry, PeerTextCannotForgeOrColourLogLines)
{
    Registry r;
    LogCapture log;
    auto registry = r.open();
    ApiRouter router(*registry);
    const QByteArray body =
        R"({"deviceId":"id\r\nDeviceRegistry: Registered new device 'forged'","deviceName":"Ph\u001b[2Jone\u0000\u009b"})";
    ASSERT_EQ(call(router, {"POST", "/api/tavro/register-device", body}).status, 200);
    const QStringList lines = log.lines().filter("Registered new device");
    ASSERT_EQ(lines.size(), 1) << log.joined().toStdString();
    EXPECT_EQ(lines.first(), "DeviceRegistry: Registered new device 'Ph\\x1b[2Jone\\x00\\x9b' (id: id\\r\\nDevi...)");
    // The registry itself keeps the text as sent.
    EXPECT_EQ(registry->devices().first().name, QString::fromUtf16(u"Ph\x1b[2Jone") + QChar(0) + QChar(0x9b));
}

TEST(DeviceRegistry, AFloodFromOneAddressNeitherFillsItForOthersNorSlowsThem)
{
    Registry r;
    LogCapture log;
    auto registry = r.open();
    // Everything arrives at once, as from a flood of connections: the saves
    // go in batches, and every answer waits for the save that holds it.
    QElapsedTimer clock;
    clock.start();
    std::vector<QCoro::Task<RegistrationResult>> flood;
    for (int i = 0; i < 10000; ++i)
        flood.push_back(registry->registerDevice(QStringLiteral("junk-%1").arg(i), "junk", ConnectionType::Lan, "192.0.2.66"));
    auto other = registry->registerDevice("phone", "Ann's phone", ConnectionType::Lan, "192.0.2.7");
    int accepted = 0, throttled = 0;
    for (auto &task : flood) {
        const RegistrationResult result = QCoro::waitFor(std::move(task));
        accepted += result.ok();
        throttled += result.throttled;
    }
    const RegistrationResult otherResult = QCoro::waitFor(std::move(other));
    const qint64 ms = clock.elapsed();
    std::printf("[ flood ] 10,000 registrations answered in %lld ms\n", static_cast<long long>(ms));
    EXPECT_EQ(accepted, DeviceRegistry::kMaxNewPerSource);
    EXPECT_EQ(throttled, 10000 - DeviceRegistry::kMaxNewPerSource);
    EXPECT_TRUE(otherResult.ok()) << otherResult.error.toStdString();
    EXPECT_LT(ms, 20000) << "one save per registration";
    EXPECT_EQ(r.open()->deviceCount(), DeviceRegistry::kMaxNewPerSource + 1);

    // Known ids from the flooding address still update, and it may add again a day later.
    ApiRouter router(*registry);
    EXPECT_EQ(call(router, {"POST", "/api/tavro/register-device", R"({"deviceId":"junk-1","deviceName":"renamed"})", "192.0.2.66"}).status, 200);
    const ApiResponse refused = call(router, {"POST", "/api/tavro/register-device", R"({"deviceId":"more","deviceName":"x"})", "192.0.2.66"});
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.body["error"], "Too many new devices from this address today (100); try again later");
    r.now = r.now.addDays(1);
    EXPECT_EQ(call(router, {"POST", "/api/tavro/register-device", R"({"deviceId":"more","deviceName":"x"})", "192.0.2.66"}).status, 200);
}
