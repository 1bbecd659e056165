#include <QFile>
#include <gtest/gtest.h>

#include "platform/HostNames.h"
#include "server/LanAdvertiser.h"
#include "tests/support/RecordingPublisher.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

TEST(LanAdvertiser, AdvertisesTheComputersNameWithBothPortsInTheTxtRecordAndLogsIt)
{
    RecordingPublisher publisher;
    LanAdvertiser advertiser(publisher, [] { return QStringLiteral("Ada's Laptop"); });
    LogCapture log;
    runTask(advertiser.start(8333));

    ASSERT_EQ(publisher.published.size(), 1);
    const DnsSdService &service = publisher.published.first();
    EXPECT_EQ(service.name, "Ada's Laptop");
    EXPECT_EQ(service.type, "_tavro._tcp");
    EXPECT_EQ(service.port, 8333);
    using Txt = QList<std::pair<QByteArray, QByteArray>>;
    EXPECT_EQ(service.txt, (Txt{{"apiPort", "8334"}, {"quicPort", "8444"}}));
    EXPECT_TRUE(log.contains("Bonjour advertising started: Ada's Laptop on S3 port 8333, API port 8334, QUIC port 8444"))
        << log.joined().toStdString();
    EXPECT_EQ(advertiser.advertisedName(), "Ada's Laptop");

    // The responder's rename shows, and stopping withdraws the service.
    Q_EMIT publisher.nameChanged(QStringLiteral("Ada's Laptop #2"));
    EXPECT_EQ(advertiser.advertisedName(), "Ada's Laptop #2");
    runTask(advertiser.stop());
    EXPECT_EQ(publisher.withdrawals, 1);
    EXPECT_TRUE(advertiser.advertisedName().isEmpty());
}

TEST(LanAdvertiser, AHostWithoutANameAdvertisesTavrolin)
{
    for (const QString &none : {QString(), QStringLiteral("   ")}) {
        RecordingPublisher publisher;
        LanAdvertiser advertiser(publisher, [none] { return none; });
        LogCapture log;
        runTask(advertiser.start(8333));
        ASSERT_EQ(publisher.published.size(), 1);
        EXPECT_EQ(publisher.published.first().name, "Tavrolin");
        EXPECT_TRUE(log.contains("Bonjour advertising started: Tavrolin on S3 port 8333, API port 8334, QUIC port 8444"));
    }
}

TEST(HostNames, ReadsThePrettyHostNameInAnyOfItsQuotings)
{
    Sandbox sandbox;
    auto prettyOf = [&](const QByteArray &text) {
        QFile f(sandbox.path("machine-info"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        return HostNames::prettyHostName(f.fileName());
    };
    EXPECT_EQ(prettyOf("PRETTY_HOSTNAME=Studio\n"), "Studio");
    EXPECT_EQ(prettyOf("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's \\\"Big\\\" Laptop\"\nDEPLOYMENT=home\n"), "Ada's \"Big\" Laptop");
    EXPECT_EQ(prettyOf("PRETTY_HOSTNAME='Küche'\n"), QString::fromUtf8("Küche"));
    EXPECT_EQ(prettyOf("CHASSIS=desktop\n"), "");
    EXPECT_EQ(prettyOf("PRETTY_HOSTNAME=\"\"\n"), "");
    EXPECT_EQ(HostNames::prettyHostName(sandbox.path("missing")), "");
}
