// The gateway client against a server that answers byte by byte as the test
// says: whole answers, answers that break off, files that cannot be written.

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "s3/S3Gateway.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

// Answers each request, once it has arrived whole (head and
// Content-Length bytes of body), with the given raw bytes, then closes.
struct RawServer {
    QTcpServer server;
    QByteArray answer;
    QList<QByteArray> later; // answers to the second request on, in turn
    QByteArray received;     // every request's bytes, as they came
    explicit RawServer(QByteArray bytes, QList<QByteArray> then = {}) : answer(std::move(bytes)), later(std::move(then))
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray bytes = socket->readAll();
                received += bytes;
                const QByteArray request = socket->property("request").toByteArray() + bytes;
                socket->setProperty("request", request);
                const qsizetype head = request.indexOf("\r\n\r\n");
                if (head < 0 || socket->property("answered").toBool())
                    return;
                const QRegularExpressionMatch length =
                    QRegularExpression("(?i)\r\ncontent-length: *(\\d+)").match(QString::fromLatin1(request.left(head)));
                if (length.hasMatch() && request.size() - head - 4 < length.captured(1).toLongLong())
                    return;
                socket->setProperty("answered", true);
                socket->write(answer);
                if (!later.isEmpty())
                    answer = later.takeFirst();
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

TEST(S3Gateway, SmallRequestsKeepABoundedAnswerAndListPagesParse)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    S3Gateway gateway(network, 10000);

    RawServer created("HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\n<UploadId>7</UploadId>");
    S3Gateway::Headers headers;
    headers.append({QByteArray("Range"), QByteArray("bytes=0-0")});
    const GatewayResult sent = await(gateway.send("POST", created.url(), "part body", headers));
    EXPECT_EQ(sent.status, 200);
    EXPECT_EQ(sent.body, "<UploadId>7</UploadId>");
    EXPECT_TRUE(created.received.startsWith("POST /photos/a.jpg HTTP/1.1\r\n")) << created.received.toStdString();
    EXPECT_TRUE(created.received.contains("Range: bytes=0-0\r\n"));
    EXPECT_TRUE(created.received.endsWith("\r\n\r\npart body"));

    // A server that ignores the range and sends a whole large object: the
    // status stands, the body is not kept, the failure is ours.
    RawServer whole(QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2097152\r\n\r\n") + QByteArray(2 << 20, 'x'));
    const GatewayResult tooLong = await(gateway.send("GET", whole.url(), {}, {}, 1024));
    EXPECT_EQ(tooLong.status, 200);
    EXPECT_TRUE(tooLong.localError);
    EXPECT_FALSE(tooLong.ok());
    EXPECT_TRUE(tooLong.body.isEmpty());

    const QByteArray xml = "<ListBucketResult><IsTruncated>true</IsTruncated><Contents><Key>a.jpg</Key></Contents>"
                           "<Contents><Key>b &amp; c.jpg</Key></Contents><NextContinuationToken>b</NextContinuationToken>"
                           "</ListBucketResult>";
    RawServer page(QByteArray("HTTP/1.1 200 OK\r\nContent-Length: ") + QByteArray::number(xml.size()) + "\r\n\r\n" + xml);
    const S3ListPage listed = await(gateway.listPage(page.url()));
    EXPECT_EQ(listed.status, 200);
    EXPECT_EQ(listed.keys, QStringList({"a.jpg", "b & c.jpg"}));
    EXPECT_TRUE(listed.isTruncated);
    EXPECT_EQ(listed.nextContinuationToken, std::optional<QString>("b"));
    EXPECT_TRUE(listed.parseError.isEmpty()) << listed.parseError.toStdString();

    // A page that breaks off keeps the keys that came and says it is not whole.
    const QByteArray half = xml.left(70);
    RawServer cut(QByteArray("HTTP/1.1 200 OK\r\nContent-Length: ") + QByteArray::number(xml.size()) + "\r\n\r\n" + half);
    const S3ListPage broken = await(gateway.listPage(cut.url()));
    EXPECT_EQ(broken.status, 200);
    EXPECT_FALSE(broken.parseError.isEmpty());

    RawServer refused("");
    const quint16 port = refused.server.serverPort();
    refused.server.close();
    const S3ListPage none = await(gateway.listPage(QUrl(QStringLiteral("http://127.0.0.1:%1/photos?list-type=2").arg(port))));
    EXPECT_EQ(none.status, -1);
    EXPECT_FALSE(none.transportError.isEmpty());
}

TEST(S3Gateway, WalksPagesByTheirTokenAndStopsAtTheFirstThatFails)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    S3Gateway gateway(network, 10000);
    const auto page = [](const QByteArray &xml) {
        return QByteArray("HTTP/1.1 200 OK\r\nContent-Length: ") + QByteArray::number(xml.size()) + "\r\n\r\n" + xml;
    };
    const QByteArray first = "<ListBucketResult><IsTruncated>true</IsTruncated><Contents><Key>a.jpg</Key></Contents>"
                             "<NextContinuationToken>b&amp;c=d</NextContinuationToken></ListBucketResult>";
    const QByteArray last = "<ListBucketResult><IsTruncated>false</IsTruncated><Contents><Key>b.jpg</Key></Contents>"
                            "</ListBucketResult>";
    RawServer whole(page(first), {page(last)});
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(whole.server.serverPort());
    QStringList keys;
    const auto collect = [&keys](const S3ListPage &page) { keys += page.keys; };
    EXPECT_FALSE(await(gateway.forEachPage(base, "photos", collect)).has_value());
    EXPECT_EQ(keys, QStringList({"a.jpg", "b.jpg"}));
    // The token is a key: its "&" and "=" cannot end the query.
    EXPECT_TRUE(whole.received.contains("GET /photos?list-type=2&max-keys=1000&continuation-token=b%26c%3Dd HTTP/1.1"))
        << whole.received.toStdString();

    keys.clear();
    RawServer failing(page(first), {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"});
    const auto failed = await(gateway.forEachPage(QStringLiteral("http://127.0.0.1:%1").arg(failing.server.serverPort()),
                                                  "photos", collect));
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->status, 500);
    EXPECT_EQ(keys, QStringList({"a.jpg"}));
}

TEST(S3Gateway, AFileStoredAsSomethingElseIsRemovedAndTheUploadFails)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    S3Gateway gateway(network, 10000);
    Sandbox sandbox;
    const QString path = sandbox.path("photo.jpg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("hello") == 5);
    file.close();
    const QByteArray md5 = QCryptographicHash::hash("hello", QCryptographicHash::Md5).toHex();

    RawServer faithful("HTTP/1.1 200 OK\r\nETag: \"" + md5 + "\"\r\nContent-Length: 0\r\n\r\n");
    const GatewayResult stored = await(gateway.putFile(faithful.url(), path, 5, "image/jpeg"));
    EXPECT_TRUE(stored.ok()) << stored.error.toStdString();
    EXPECT_TRUE(faithful.received.endsWith("\r\n\r\nhello")) << faithful.received.toStdString();

    // The gateway stored other bytes than it was sent: the object goes.
    RawServer unfaithful("HTTP/1.1 200 OK\r\nETag: \"0123456789abcdef0123456789abcdef\"\r\nContent-Length: 0\r\n\r\n",
                         {"HTTP/1.1 204 No Content\r\n\r\n"});
    const GatewayResult refused = await(gateway.putFile(unfaithful.url(), path, 5, "image/jpeg"));
    EXPECT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error.startsWith("The stored object does not match the file (MD5 " + md5)) << refused.error.toStdString();
    EXPECT_TRUE(unfaithful.received.contains("DELETE /photos/a.jpg HTTP/1.1")) << unfaithful.received.toStdString();

    // Tags that say nothing of the bytes are not a mismatch.
    EXPECT_EQ(S3Gateway::integrityProblem("\"abc-2\"", QByteArray(16, 'x')), "");
    EXPECT_EQ(S3Gateway::integrityProblem("", QByteArray(16, 'x')), "");
    EXPECT_EQ(S3Gateway::integrityProblem("W/\"" + md5.toUpper() + "\"", QCryptographicHash::hash("hello", QCryptographicHash::Md5)), "");
}
