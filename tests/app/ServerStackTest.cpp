// The production wiring (every service the server runs, made and connected
// by ServerStack) on free ports and sandbox folders: two servers side by side
// in one process, each with its own engine, API, QUIC listener, registry and
// advertisement.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include "app/ServerStack.h"
#include "services/DeviceRegistry.h"
#include "server/LanAdvertiser.h"
#include "tests/support/StackHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct Server : StackHarness {
    Server() : StackHarness([](ServerStackConfig &config, const Sandbox &) { config.relay.scanIntervalMs = 200; }) {}
    QUrl api(const QString &path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(apiPort).arg(path)); }

    int upload(const QString &file, const QString &key)
    {
        QProcess upload;
        upload.start(QStringLiteral(TAVROLIN_TEST_UPLOAD),
                     {"127.0.0.1", file, "--key", key, "--port", QString::number(quicPort)});
        waitUntil([&] { return upload.state() == QProcess::NotRunning; }, 60s);
        return upload.state() == QProcess::NotRunning ? upload.exitCode() : -1;
    }
};

} // namespace

TEST(ServerStack, TwoServersSideBySideEachRunEveryServiceOnItsOwnPortsAndFolders)
{
    Server a, b;
    // Both start at once: nothing in the wiring is shared between them.
    a.stack->manager().startServer();
    b.stack->manager().startServer();
    ASSERT_TRUE(waitUntil([&] { return a.stack->manager().isRunning() && b.stack->manager().isRunning(); }, 120s))
        << a.stack->manager().startupStatus().toStdString() << " / " << b.stack->manager().startupStatus().toStdString()
        << " / " << a.stack->manager().error().toStdString() << b.stack->manager().error().toStdString();

    int n = 0;
    for (Server *server : {&a, &b}) {
        SCOPED_TRACE(n);
        ServerStack &stack = *server->stack;
        EXPECT_TRUE(stack.api().isRunning());
        EXPECT_TRUE(stack.quic().isListening());
        EXPECT_TRUE(stack.relay().isWatching());
        EXPECT_TRUE(stack.tunnel().isListening());
        EXPECT_TRUE(waitUntil([&] { return stack.cloud().isRegistered(); }, 10s));

        // The advertisement names this server's own ports.
        ASSERT_NE(server->publisher, nullptr);
        ASSERT_EQ(server->publisher->published.size(), 1);
        const DnsSdService &service = server->publisher->published.first();
        EXPECT_EQ(service.port, server->ports.s3);
        using Txt = QList<std::pair<QByteArray, QByteArray>>;
        EXPECT_EQ(service.txt, (Txt{{"apiPort", QByteArray::number(server->apiPort)},
                                    {"quicPort", QByteArray::number(server->quicPort)}}));

        // The API answers from this server's registry, saved in its data folder.
        EXPECT_EQ(httpCall("GET", server->api("/api/tavro/health")).body, "{\"status\":\"ok\"}");
        const HttpResult registered = httpCall(
            "POST", server->api("/api/tavro/register-device"),
            QStringLiteral("{\"deviceId\":\"phone-%1\",\"deviceName\":\"Phone %1\"}").arg(n).toUtf8());
        EXPECT_EQ(registered.status, 200) << registered.body.constData();
        EXPECT_EQ(stack.registry().deviceCount(), 1);
        EXPECT_TRUE(QFile::exists(server->sandbox.data() + "/device_registry.json"));
        ++n;
    }

    // A QUIC upload lands in the bucket of the server it was sent to only.
    QFile photo(a.sandbox.path("IMG_0001.jpg"));
    ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
    const QByteArray bytes = randomBytes(300 * 1024, 7);
    photo.write(bytes);
    photo.close();
    ASSERT_EQ(a.upload(photo.fileName(), "2026/IMG_0001.jpg"), 0);
    EXPECT_EQ(httpCall("GET", s3Url(a.ports.s3, "photos", "2026/IMG_0001.jpg")).body, bytes);
    EXPECT_EQ(httpCall("GET", s3Url(b.ports.s3, "photos", "2026/IMG_0001.jpg")).status, 404);
    EXPECT_EQ(a.stack->quic().filesReceived(), 1);
    EXPECT_EQ(b.stack->quic().filesReceived(), 0);

    // Stopping one leaves the other serving, and withdraws what it published.
    runTask(a.stack->manager().stopServer());
    EXPECT_FALSE(a.stack->api().isRunning());
    EXPECT_FALSE(a.stack->quic().isListening());
    EXPECT_FALSE(a.stack->relay().isWatching());
    EXPECT_EQ(a.publisher->withdrawals, 1);
    EXPECT_TRUE(b.stack->manager().isRunning());
    EXPECT_EQ(httpCall("GET", b.api("/api/tavro/health")).status, 200);
}
