#include "platform/QuicServer.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QVariant>

namespace tavrolin {

namespace {
constexpr size_t kServerCidLength = 18;
}

QuicServer::QuicServer(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &UdpSocket::readyRead, this, &QuicServer::onReadyRead);
}

QuicServer::~QuicServer()
{
    close();
    if (m_credentials)
        gnutls_certificate_free_credentials(m_credentials);
}

QString QuicServer::listen(const QHostAddress &address, quint16 port, const std::optional<TlsIdentity> &identity,
                           const QByteArray &alpn, const QuicConnection::Settings &settings)
{
    close();
    if (m_credentials) {
        gnutls_certificate_free_credentials(m_credentials);
        m_credentials = nullptr;
    }
    gnutls_certificate_allocate_credentials(&m_credentials);
    if (identity) {
        gnutls_datum_t cert{reinterpret_cast<unsigned char *>(const_cast<char *>(identity->certificatePem.constData())),
                            unsigned(identity->certificatePem.size())};
        gnutls_datum_t key{reinterpret_cast<unsigned char *>(const_cast<char *>(identity->privateKeyPem.constData())),
                           unsigned(identity->privateKeyPem.size())};
        const int rv = gnutls_certificate_set_x509_key_mem(m_credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
        if (rv < 0)
            return QStringLiteral("the server identity is unusable: %1").arg(QString::fromUtf8(gnutls_strerror(rv)));
    }
    m_alpn = alpn;
    m_settings = settings;
    m_resetSecret.resize(32);
    for (char &c : m_resetSecret)
        c = char(QRandomGenerator::system()->bounded(256));
    return m_socket.bind(address, port);
}

void QuicServer::close()
{
    const std::vector<QuicConnection *> connections = m_connections;
    for (QuicConnection *connection : connections)
        connection->close();
    m_socket.close();
}

void QuicServer::onReadyRead()
{
    // Everything that has arrived is read before anything is written: one
    // round of acknowledgements per batch instead of one per packet, and
    // the socket's buffer drains before it overflows.
    std::vector<QPointer<QuicConnection>> touched;
    m_socket.readPending([&](const UdpSocket::Datagram &datagram) {
        const QByteArray &packet = datagram.data;
        ngtcp2_version_cid vc;
        if (packet.isEmpty()
            || ngtcp2_pkt_decode_version_cid(&vc, reinterpret_cast<const uint8_t *>(packet.constData()), size_t(packet.size()),
                                             kServerCidLength) != 0)
            return; // not QUIC, or a version we do not speak
        // Looked up without a copy: this runs for every packet.
        const QByteArray dcid = QByteArray::fromRawData(reinterpret_cast<const char *>(vc.dcid), qsizetype(vc.dcidlen));
        const auto it = m_byCid.find(dcid);
        if (it == m_byCid.end()) {
            accept(datagram);
            return;
        }
        QuicConnection *connection = it->second;
        connection->receivePacket(packet, false, datagram.local);
        if (std::find(touched.begin(), touched.end(), connection) == touched.end())
            touched.emplace_back(connection);
    });
    for (const QPointer<QuicConnection> &connection : touched) {
        if (connection)
            connection->deliver();
    }
    for (const QPointer<QuicConnection> &connection : touched) {
        if (connection && connection->isOpen())
            connection->flush();
    }
}

void QuicServer::accept(const UdpSocket::Datagram &datagram)
{
    const QByteArray &packet = datagram.data;
    ngtcp2_pkt_hd hd;
    if (ngtcp2_accept(&hd, reinterpret_cast<const uint8_t *>(packet.constData()), size_t(packet.size())) != 0)
        return;
    // Existing uploads go on; the new client hears at once instead of
    // waiting out its handshake.
    if (int(m_connections.size()) >= kMaxConnections) {
        refuse(hd, datagram, QStringLiteral("the receiver has %1 connections").arg(kMaxConnections));
        return;
    }
    const auto fromSameHost = std::count_if(m_connections.begin(), m_connections.end(), [&](QuicConnection *c) {
        return c->remoteAddress().isEqual(datagram.sender, QHostAddress::TolerantConversion);
    });
    if (fromSameHost >= kMaxConnectionsPerSource) {
        refuse(hd, datagram, QStringLiteral("that host has %1 connections").arg(kMaxConnectionsPerSource));
        return;
    }
    auto *connection = new QuicConnection(m_socket, datagram.sender, datagram.senderPort, this);
    connection->onConnectionId = [this, connection](const QByteArray &cid, bool added) {
        if (added)
            m_byCid[cid] = connection;
        else if (const auto it = m_byCid.find(cid); it != m_byCid.end() && it->second == connection)
            m_byCid.erase(it);
    };
    connect(connection, &QuicConnection::closed, this, [this, connection](const QString &reason) {
        forget(connection);
        Q_EMIT connectionClosed(connection, reason);
        connection->deleteLater();
    });
    const QString error = connection->acceptAsServer(hd, m_credentials, m_alpn, m_settings, m_resetSecret);
    if (!error.isEmpty()) {
        connection->onConnectionId = nullptr;
        forget(connection);
        delete connection;
        return;
    }
    m_connections.push_back(connection);
    Q_EMIT newConnection(connection);
    connection->receivePacket(packet, true, datagram.local);
}

void QuicServer::refuse(const ngtcp2_pkt_hd &hd, const UdpSocket::Datagram &datagram, const QString &reason)
{
    // Only a client's first Initial is answered: those are the packets
    // whose keys anyone can derive, so nothing of a connection is kept.
    if (hd.type != NGTCP2_PKT_INITIAL)
        return;
    uint8_t buffer[NGTCP2_MAX_UDP_PAYLOAD_SIZE];
    const ngtcp2_ssize n = ngtcp2_crypto_write_connection_close(buffer, sizeof buffer, hd.version, &hd.scid, &hd.dcid,
                                                               NGTCP2_CONNECTION_REFUSED, nullptr, 0);
    if (n > 0)
        m_socket.send(reinterpret_cast<const char *>(buffer), n, datagram.sender, datagram.senderPort, datagram.local);
    Q_EMIT connectionRefused(QStringLiteral("%1:%2").arg(datagram.sender.toString()).arg(datagram.senderPort), reason);
}

void QuicServer::forget(QuicConnection *connection)
{
    for (auto it = m_byCid.begin(); it != m_byCid.end();) {
        if (it->second == connection)
            it = m_byCid.erase(it);
        else
            ++it;
    }
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), connection), m_connections.end());
}

} // namespace tavrolin
