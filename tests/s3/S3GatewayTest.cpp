// The gateway client against a server that answers byte by byte as the test
// says: whole answers, answers that break off, files that cannot be written.

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "s3/S3Gateway.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

// Answers every request with the same raw bytes, then closes.
struct RawServer {
    QTcpServer server;
    QByteArray answer;
    explicit RawServer(QByteArray bytes) : answer(std::move(bytes))
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                socket->readAll();
                if (socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                socket->write(answer);
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/photos/a.jpg").arg(server.serverPort())); }
};

template <typename T>
T await(QCoro::Task<T> task)
{
    return QCoro::waitFor(std::move(task));
}

} // namespace

TEST(S3Gateway, WholeAnswersBrokenAnswersAndFilesThatCannotBeWritten)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    S3Gateway gateway(network, 10000);
    Sandbox sandbox;

    RawServer whole("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5\r\n\r\nhello");
    QFile out(sandbox.path("whole"));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    const GatewayResult got = await(gateway.getToFile(whole.url(), &out));
    out.close();
    EXPECT_TRUE(got.ok()) << got.error.toStdString();
    EXPECT_EQ(got.contentType, "image/jpeg");
    EXPECT_EQ(got.contentLength, 5);
    EXPECT_EQ(out.size(), 5);

    // An answer that stops short of its length is a failure, never a file.
    RawServer cut("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly ten b");
    QFile partial(sandbox.path("partial"));
    ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
    const GatewayResult broken = await(gateway.getToFile(cut.url(), &partial));
    EXPECT_FALSE(broken.ok());
    EXPECT_FALSE(broken.error.isEmpty());
    EXPECT_FALSE(broken.localError);

    // An error answer's body is not written into the file.
    RawServer missing("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNoSuchKey");
    QFile none(sandbox.path("none"));
    ASSERT_TRUE(none.open(QIODevice::WriteOnly));
    const GatewayResult notFound = await(gateway.getToFile(missing.url(), &none));
    EXPECT_EQ(notFound.status, 404);
    EXPECT_FALSE(notFound.ok());
    EXPECT_EQ(none.size(), 0);

    const GatewayResult head = await(gateway.head(whole.url()));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.contentLength, 5);

    // Our side failing is told apart from the gateway's.
    const GatewayResult unreadable = await(gateway.putFile(whole.url(), sandbox.path("no-such-file"), 5, "image/jpeg"));
    EXPECT_TRUE(unreadable.localError);
    EXPECT_FALSE(unreadable.ok());

    TmpfsMount drive("1m");
    if (!drive.ok())
        GTEST_SKIP() << "skipped: " << drive.error().toStdString();
    const QByteArray big = QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n") + QByteArray(4 << 20, 'x');
    RawServer large(big);
    QFile full(drive.path() + "/photo");
    ASSERT_TRUE(full.open(QIODevice::WriteOnly));
    const GatewayResult noRoom = await(gateway.getToFile(large.url(), &full));
    EXPECT_TRUE(noRoom.localError) << noRoom.error.toStdString();
    EXPECT_FALSE(noRoom.ok());
}
