#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "services/ServerIdentity.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

ServerIdentity::Config sandboxConfig(const Sandbox &sandbox, const QString &openssl = "/usr/bin/openssl")
{
    QDir().mkpath(sandbox.path("tmp"));
    ServerIdentity::Config config;
    config.opensslPath = openssl;
    config.tempDir = sandbox.path("tmp");
    config.storeFolder = sandbox.path("identity");
    config.hostName = [] { return QStringLiteral("Studio Mac mini"); };
    config.addresses = [] { return QStringList{"192.168.1.20", "127.0.0.1"}; };
    return config;
}

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

} // namespace

TEST(ServerIdentity, NamesAndConfigurationText)
{
    EXPECT_EQ(ServerIdentity::certificateHostName("Studio Mac mini"), "Studio-Mac-mini");
    EXPECT_EQ(ServerIdentity::certificateHostName(""), "Tavrolin");
    const QStringList sans = ServerIdentity::subjectAltNames("Studio-Mac-mini", {"192.168.1.20", "127.0.0.1"});
    EXPECT_EQ(sans, (QStringList{"DNS:localhost", "DNS:Studio-Mac-mini", "DNS:Studio-Mac-mini.local", "IP:192.168.1.20",
                                 "IP:127.0.0.1"}));
    EXPECT_EQ(ServerIdentity::opensslConfig("Studio-Mac-mini", sans),
              "[req]\ndistinguished_name = req_distinguished_name\nx509_extensions = v3_req\nprompt = no\n\n"
              "[req_distinguished_name]\nCN = Studio-Mac-mini\nO = Tavrolin\n\n"
              "[v3_req]\nkeyUsage = keyEncipherment, dataEncipherment, digitalSignature\nextendedKeyUsage = serverAuth\n"
              "subjectAltName = @alt_names\n\n[alt_names]\n"
              "DNS.1 = localhost\nDNS.2 = Studio-Mac-mini\nDNS.3 = Studio-Mac-mini.local\nIP.4 = 192.168.1.20\nIP.5 = 127.0.0.1");
    EXPECT_EQ(ServerIdentity::listText({"127.0.0.1"}), "[\"127.0.0.1\"]");
    EXPECT_EQ(ServerIdentity::listText({"a", "b"}), "[\"a\", \"b\"]");

    const QStringList local = ServerIdentity::localIPv4Addresses();
    EXPECT_EQ(local.last(), "127.0.0.1");
    EXPECT_EQ(local.count("127.0.0.1"), 1);
    EXPECT_EQ(QSet<QString>(local.begin(), local.end()).size(), local.size()) << "an address listed twice";
}

TEST(ServerIdentity, MakesAPrivateSelfSignedCertificateOnceAndCachesIt)
{
    Sandbox sandbox;
    // Counts its runs, then hands over to the real tool.
    const QString openssl = writeScript(sandbox.path("openssl"), "echo run >> " + sandbox.path("runs") + "\nexec /usr/bin/openssl \"$@\"");
    ServerIdentity identity(sandboxConfig(sandbox, openssl));
    LogCapture log;
    const auto made = identity.identity();
    ASSERT_TRUE(made.has_value()) << log.joined().toStdString();
    EXPECT_TRUE(made->certificatePem.startsWith("-----BEGIN CERTIFICATE-----"));
    EXPECT_TRUE(log.contains("QUIC: Creating certificate for hostname=Studio-Mac-mini, IPs=[\"192.168.1.20\", \"127.0.0.1\"]"));
    EXPECT_TRUE(log.contains("QUIC: Self-signed certificate created successfully with SANs: [\"DNS:localhost\", "
                             "\"DNS:Studio-Mac-mini\", \"DNS:Studio-Mac-mini.local\", \"IP:192.168.1.20\", \"IP:127.0.0.1\"]"));

    // Kept owner-only, and nothing left in the temporary folder.
    const QString key = sandbox.path("identity/com.tavrolin.quic-server.key");
    EXPECT_EQ(modeOf(key), 0600);
    EXPECT_EQ(modeOf(sandbox.path("identity/com.tavrolin.quic-server.crt")), 0600);
    EXPECT_EQ(modeOf(sandbox.path("identity")), 0700);
    EXPECT_TRUE(QDir(sandbox.path("tmp")).isEmpty());

    QProcess x509;
    x509.start("/usr/bin/openssl", {"x509", "-noout", "-text", "-in", sandbox.path("identity/com.tavrolin.quic-server.crt")});
    ASSERT_TRUE(x509.waitForFinished(10000));
    const QString text = QString::fromUtf8(x509.readAllStandardOutput());
    EXPECT_TRUE(text.contains("DNS:localhost, DNS:Studio-Mac-mini, DNS:Studio-Mac-mini.local, IP Address:192.168.1.20, IP Address:127.0.0.1"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("Digital Signature, Key Encipherment, Data Encipherment")) << text.toStdString();
    EXPECT_TRUE(text.contains("TLS Web Server Authentication"));
    EXPECT_TRUE(text.contains("CN = Studio-Mac-mini, O = Tavrolin") || text.contains("CN=Studio-Mac-mini, O=Tavrolin"));
    EXPECT_TRUE(text.contains("Public-Key: (2048 bit)"));
    QProcess dates;
    dates.start("/usr/bin/openssl", {"x509", "-noout", "-checkend", QString::number(3649LL * 86400), "-in",
                                     sandbox.path("identity/com.tavrolin.quic-server.crt")});
    ASSERT_TRUE(dates.waitForFinished(10000));
    EXPECT_EQ(dates.exitCode(), 0) << "valid for less than 3649 days";

    // The second call runs nothing.
    QFile runs(sandbox.path("runs"));
    ASSERT_TRUE(runs.open(QIODevice::ReadOnly));
    const int before = runs.readAll().count("run");
    EXPECT_EQ(before, 2);
    EXPECT_TRUE(identity.identity().has_value());
    runs.seek(0);
    EXPECT_EQ(runs.readAll().count("run"), before);

    // A new process starts by removing the old identity.
    ServerIdentity next(sandboxConfig(sandbox, sandbox.path("missing-openssl")));
    EXPECT_FALSE(next.identity().has_value());
    EXPECT_FALSE(QFile::exists(key));
}

TEST(ServerIdentity, AFailingOrMissingOpensslGivesNoIdentityAndLeavesNoFiles)
{
    Sandbox sandbox;
    const QString failing = writeScript(sandbox.path("openssl"), "echo 'boom: no entropy' >&2\nexit 3");
    {
        LogCapture log;
        ServerIdentity identity(sandboxConfig(sandbox, failing));
        EXPECT_FALSE(identity.identity().has_value());
        EXPECT_TRUE(log.contains("QUIC: openssl req failed (3): boom: no entropy\\n")) << log.joined().toStdString();
        EXPECT_TRUE(log.contains("QUIC: Failed to create server identity"));
        EXPECT_TRUE(QDir(sandbox.path("tmp")).isEmpty());
    }
    {
        LogCapture log;
        ServerIdentity identity(sandboxConfig(sandbox, sandbox.path("no/such/openssl")));
        EXPECT_FALSE(identity.identity().has_value());
        EXPECT_EQ(log.countStartingWith("QUIC: Certificate creation error - "), 1) << log.joined().toStdString();
        EXPECT_TRUE(QDir(sandbox.path("tmp")).isEmpty());
    }
}
