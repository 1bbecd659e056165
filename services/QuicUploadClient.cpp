#include "services/QuicUploadClient.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QFileInfo>

#include <QFileInfo>
#include <QMimeDatabase>
#include <QtEndian>
#include <nlohmann/json.hpp>

namespace tavrolin {

namespace {
constexpr quint64 kInFlight = 4 << 20; // queued but unacknowledged bytes
constexpr qint64 kChunk = 256 * 1024;
const QList<QByteArray> kReplies = {"OK", "ERROR: Failed to store file", "ERROR: Invalid header length",
                                    "ERROR: Invalid header"};
} // namespace

QuicUploadClient::QuicUploadClient(QObject *parent) : QObject(parent)
{
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, [this] { done(); });
    connect(&m_socket, &UdpSocket::readyRead, this, [this] {
        m_socket.readPending([this](const UdpSocket::Datagram &datagram) {
            if (m_connection && !datagram.data.isEmpty())
                m_connection->receivePacket(datagram.data, false);
        });
        if (m_connection)
            m_connection->deliver();
        if (m_connection && m_connection->isOpen())
            m_connection->flush();
    });
}

QuicUploadClient::~QuicUploadClient() = default;

QString QuicUploadClient::libraryKey(const QString &path, const QString &deviceFolder)
{
    const QFileInfo info(path);
    const QDate day = info.lastModified().date();
    return QStringLiteral("%1/%2/%3/%4/%5")
        .arg(deviceFolder)
        .arg(day.year(), 4, 10, QChar(u'0'))
        .arg(day.month(), 2, 10, QChar(u'0'))
        .arg(day.day(), 2, 10, QChar(u'0'))
        .arg(info.fileName());
}

QString QuicUploadClient::deviceFolderFor(const QString &hostName)
{
    QString name;
    for (const QChar c : hostName.section(u'.', 0, 0))
        if (c.isLetterOrNumber() || c == u'-')
            name += c;
    if (name.isEmpty())
        name = QStringLiteral("computer");
    const QByteArray hash = QCryptographicHash::hash(hostName.toUtf8(), QCryptographicHash::Sha1).toHex();
    return name + u'_' + QString::fromLatin1(hash.left(4));
}

qsizetype QuicUploadClient::replyLength(const QByteArray &buffered, bool streamEnded)
{
    // "ERROR: Invalid header length" starts with "ERROR: Invalid header":
    // the longer text wins once enough bytes are there to tell.
    qsizetype best = 0;
    bool undecided = false;
    for (const QByteArray &reply : kReplies) {
        if (buffered.startsWith(reply))
            best = qMax(best, reply.size());
        else if (reply.startsWith(buffered))
            undecided = true;
    }
    if (best > 0 && undecided && !streamEnded)
        return 0;
    return best;
}

void QuicUploadClient::upload(const QHostAddress &host, quint16 port, const QList<Item> &items)
{
    m_items = items;
    m_results.clear();
    const bool v4 = host.protocol() == QAbstractSocket::IPv4Protocol;
    const QString bound = m_socket.bind(v4 ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::AnyIPv6), 0);
    if (!bound.isEmpty()) {
        failAll(bound);
        return;
    }
    m_connection = std::make_unique<QuicConnection>(m_socket, host, port);
    connect(m_connection.get(), &QuicConnection::handshakeCompleted, this, &QuicUploadClient::onHandshake);
    connect(m_connection.get(), &QuicConnection::streamAcked, this, [this] { pump(); });
    connect(m_connection.get(), &QuicConnection::streamData, this, &QuicUploadClient::onData);
    connect(m_connection.get(), &QuicConnection::streamReset, this, [this] { failAll(QStringLiteral("the server reset the stream")); });
    connect(m_connection.get(), &QuicConnection::closed, this, [this](const QString &reason) { failAll(reason); });
    QuicConnection::Settings settings;
    const QString error = m_connection->connectAsClient("tavro-backup", settings);
    if (!error.isEmpty())
        failAll(error);
}

void QuicUploadClient::onHandshake()
{
    m_stream = m_connection->openStream();
    if (m_stream < 0) {
        failAll(QStringLiteral("the server allows no stream"));
        return;
    }
    sendNext();
}

void QuicUploadClient::sendNext()
{
    const qsizetype index = m_results.size();
    if (index >= m_items.size()) {
        // Our side ends; the server answers by ending its side.
        m_connection->send(m_stream, {}, true);
        m_closeTimer.start(5000);
        return;
    }
    const Item &item = m_items.at(index);
    m_file.close();
    m_file.setFileName(item.path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        m_results.append({item.path, {}, m_file.errorString()});
        sendNext();
        return;
    }
    const QString contentType = item.contentType.isEmpty() ? QMimeDatabase().mimeTypeForFile(item.path).name() : item.contentType;
    const nlohmann::json header = {{"bucket", item.bucket.toStdString()},
                                   {"key", (item.key.isEmpty() ? QFileInfo(item.path).fileName() : item.key).toStdString()},
                                   {"contentType", contentType.toStdString()},
                                   {"size", m_file.size()}};
    const QByteArray json = QByteArray::fromStdString(header.dump());
    QByteArray prefix(4, '\0');
    qToBigEndian<quint32>(quint32(json.size()), prefix.data());
    m_left = m_file.size();
    m_connection->send(m_stream, prefix + json);
    pump();
}

void QuicUploadClient::pump()
{
    if (!m_connection || m_stream < 0)
        return;
    while (m_left > 0 && m_connection->unacknowledged(m_stream) < kInFlight) {
        const QByteArray chunk = m_file.read(qMin(kChunk, m_left));
        if (chunk.isEmpty()) {
            // The file shrank under us: the server would wait for bytes that
            // never come.
            m_connection->close(1, "file read failed");
            return;
        }
        m_left -= chunk.size();
        m_connection->send(m_stream, chunk);
    }
}

void QuicUploadClient::onData(int64_t stream, const QByteArray &bytes, bool fin)
{
    if (stream != m_stream)
        return;
    m_replies.append(bytes);
    m_connection->consume(stream, quint64(bytes.size()));
    for (qsizetype n = replyLength(m_replies, fin); n > 0 && m_results.size() < m_items.size(); n = replyLength(m_replies, fin)) {
        m_results.append({m_items.at(m_results.size()).path, m_replies.first(n), {}});
        m_replies.remove(0, n);
        if (m_results.last().reply == "OK" || m_results.last().reply == "ERROR: Failed to store file") {
            sendNext();
        } else {
            failAll(QStringLiteral("the server stopped reading"));
            return;
        }
    }
    if (fin)
        done();
}

void QuicUploadClient::failAll(const QString &error)
{
    while (m_results.size() < m_items.size())
        m_results.append({m_items.at(m_results.size()).path, {}, error});
    done();
}

void QuicUploadClient::done()
{
    if (m_finished)
        return;
    m_finished = true;
    m_closeTimer.stop();
    while (m_results.size() < m_items.size())
        m_results.append({m_items.at(m_results.size()).path, {}, QStringLiteral("no reply")});
    if (m_connection)
        m_connection->close();
    Q_EMIT finished();
}

} // namespace tavrolin
