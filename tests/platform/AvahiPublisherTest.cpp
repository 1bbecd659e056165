#include <QProcess>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "platform/AvahiPublisher.h"
#include "tests/support/PrivateAvahi.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// Daemons of tests running side by side hear each other on the loopback
// interface, so each test process browses a service type of its own.
QString testType()
{
    return QStringLiteral("_tt%1._tcp").arg(::getpid() % 1000000);
}

DnsSdService testService(const QString &name, quint16 port = 8333)
{
    return DnsSdService{name, testType(), port, {{"apiPort", "8334"}, {"quicPort", "8444"}}};
}

class AvahiPublisherTest : public ::testing::Test {
protected:
    // libdbus reads the system bus address once per process, so each test
    // needs a process of its own (as ctest runs them).
    void SetUp() override
    {
        const QString reason = PrivateAvahi::unavailableReason();
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        avahi = std::make_unique<PrivateAvahi>(sandbox);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", avahi->busAddress().toUtf8());
    }
    void TearDown() override { qunsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

    Sandbox sandbox;
    std::unique_ptr<PrivateAvahi> avahi;
};

} // namespace

TEST_F(AvahiPublisherTest, PublishesNamePortAndTxtAndWithdrawsThem)
{
    ASSERT_TRUE(avahi->startBus());
    ASSERT_TRUE(avahi->startAvahi());

    AvahiPublisher publisher;
    publisher.publish(testService("Ada's Photo Box", 18333));
    const QString line = avahi->waitForInstance(testType(), "Ada's Photo Box");
    ASSERT_FALSE(line.isEmpty()) << avahi->resolved(testType()).join('\n').toStdString();
    EXPECT_EQ(line.section(';', 8, 8), "18333");
    EXPECT_TRUE(line.section(';', 9).contains("\"apiPort=8334\"")) << line.toStdString();
    EXPECT_TRUE(line.section(';', 9).contains("\"quicPort=8444\"")) << line.toStdString();

    publisher.withdraw();
    EXPECT_TRUE(waitUntil([&] { return avahi->resolved(testType()).isEmpty(); }, 15s));
}

TEST_F(AvahiPublisherTest, TakesAvahisAlternativeNameWhenTheNameIsTaken)
{
    ASSERT_TRUE(avahi->startBus());
    ASSERT_TRUE(avahi->startAvahi());
    auto other = avahi->publishWithTool("Photo Box", testType(), 9999);
    ASSERT_FALSE(avahi->waitForInstance(testType(), "Photo Box").isEmpty());

    LogCapture log;
    AvahiPublisher publisher;
    QString renamed;
    QObject::connect(&publisher, &DnsSdPublisher::nameChanged, [&](const QString &name) { renamed = name; });
    publisher.publish(testService("Photo Box"));
    ASSERT_TRUE(waitUntil([&] { return !renamed.isEmpty(); }, 10s));
    EXPECT_EQ(renamed, "Photo Box #2");
    EXPECT_TRUE(log.joined().contains("DNS-SD name \"Photo Box\" is")) << log.joined().toStdString();
    const QString line = avahi->waitForInstance(testType(), "Photo Box #2");
    ASSERT_FALSE(line.isEmpty());
    EXPECT_EQ(line.section(';', 8, 8), "8333");
}

TEST_F(AvahiPublisherTest, WaitsForADaemonThatStartsLaterAndComesBackAfterItRestarts)
{
    ASSERT_TRUE(avahi->startBus());
    LogCapture log;
    AvahiPublisher publisher;
    publisher.publish(testService("Late Box"));
    EXPECT_TRUE(log.joined().contains("Avahi daemon not running")) << log.joined().toStdString();

    ASSERT_TRUE(avahi->startAvahi());
    EXPECT_FALSE(avahi->waitForInstance(testType(), "Late Box").isEmpty());

    avahi->stopAvahi();
    ASSERT_TRUE(avahi->startAvahi());
    EXPECT_FALSE(avahi->waitForInstance(testType(), "Late Box").isEmpty()) << log.joined().toStdString();
}

TEST_F(AvahiPublisherTest, RetriesWhenThereIsNoBusAtAll)
{
    LogCapture log;
    AvahiPublisher publisher(200);
    publisher.publish(testService("Busless Box"));
    EXPECT_TRUE(log.joined().contains("DNS-SD advertising unavailable:")) << log.joined().toStdString();

    ASSERT_TRUE(avahi->startBus());
    ASSERT_TRUE(avahi->startAvahi());
    EXPECT_FALSE(avahi->waitForInstance(testType(), "Busless Box").isEmpty()) << log.joined().toStdString();
}

TEST(AvahiPublisher, FitsLongNamesIntoOneLabel)
{
    EXPECT_EQ(AvahiPublisher::fitServiceName("Box"), "Box");
    const QString longName(100, QChar('a'));
    EXPECT_EQ(AvahiPublisher::fitServiceName(longName), QString(63, QChar('a')));
    // 21 three-byte characters are 63 bytes; the 22nd does not fit.
    const QString cjk(22, QChar(0x5199));
    EXPECT_EQ(AvahiPublisher::fitServiceName(cjk).size(), 21);
    // A character outside the BMP is never cut in half.
    QString emoji = QString(62, QChar('a')) + QString::fromUtf8("\xF0\x9F\x93\xB7");
    EXPECT_EQ(AvahiPublisher::fitServiceName(emoji), QString(62, QChar('a')));
}
