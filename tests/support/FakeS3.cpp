#include "tests/support/FakeS3.h"

#include <QTcpSocket>
#include <QRegularExpression>
#include <QTimer>

namespace tavrolin::test {

FakeS3::FakeS3(Handler handler, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeS3::onConnection);
}

bool FakeS3::listen(int port) { return m_server.listen(QHostAddress::Any, quint16(port)); }

void FakeS3::onConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            // The answer comes once the whole body is in, as a real server's.
            static const QRegularExpression kLength(QStringLiteral("(?i)\r\ncontent-length:\\s*(\\d+)"));
            const auto length = kLength.match(QString::fromLatin1(buffer->left(end)));
            if (length.hasMatch() && buffer->size() < end + 4 + length.captured(1).toLongLong())
                return;
            const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
            buffer->clear();
            Request request{requestLine.value(0), requestLine.value(1)};
            requests.append(request);
            const Response response = m_handler(request);
            const QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n"
                + (response.etag.isEmpty() ? QByteArray() : "ETag: " + response.etag + "\r\n")
                + "Content-Type: application/xml\r\nConnection: close\r\nContent-Length: "
                + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body;
            QTimer::singleShot(response.delayMs, socket, [socket, reply] {
                socket->write(reply);
                socket->disconnectFromHost();
            });
        });
    }
}

QByteArray listPage(const QStringList &keys, bool truncated, const QString &token)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>photos</Name>";
    xml += "<IsTruncated>" + QByteArray(truncated ? "true" : "false") + "</IsTruncated>";
    for (const QString &key : keys)
        xml += "<Contents><Key>" + key.toHtmlEscaped().toUtf8() + "</Key><Size>1</Size></Contents>";
    if (!token.isEmpty())
        xml += "<NextContinuationToken>" + token.toHtmlEscaped().toUtf8() + "</NextContinuationToken>";
    xml += "</ListBucketResult>";
    return xml;
}

} // namespace tavrolin::test
