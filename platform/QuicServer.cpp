#include "platform/QuicServer.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QVariant>

namespace tavrolin {

namespace {
constexpr size_t kServerCidLength = 18;
}

QuicServer::QuicServer(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &QuicServer::onReadyRead);
    connect(&m_socket, &QUdpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A datagram refused by an unreachable peer is that peer's problem.
        if (error != QAbstractSocket::ConnectionRefusedError && error != QAbstractSocket::NetworkError
            && error != QAbstractSocket::DatagramTooLargeError && error != QAbstractSocket::TemporaryError)
            Q_EMIT failed(m_socket.errorString());
    });
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
    if (!m_socket.bind(address, port, QAbstractSocket::DontShareAddress))
        return m_socket.errorString();
    // Bursts at loopback speed outrun the default buffers.
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(8 << 20));
    m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, QVariant(8 << 20));
    return {};
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
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram(65536);
        const QByteArray packet = datagram.data();
        if (packet.isEmpty())
            continue;
        ngtcp2_version_cid vc;
        const int rv = ngtcp2_pkt_decode_version_cid(&vc, reinterpret_cast<const uint8_t *>(packet.constData()),
                                                     size_t(packet.size()), kServerCidLength);
        if (rv != 0)
            continue; // not QUIC, or a version we do not speak
        const QByteArray dcid(reinterpret_cast<const char *>(vc.dcid), qsizetype(vc.dcidlen));
        const auto it = m_byCid.find(dcid);
        if (it != m_byCid.end()) {
            it->second->receivePacket(packet);
            continue;
        }
        accept(packet, datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void QuicServer::accept(const QByteArray &packet, const QHostAddress &from, quint16 port)
{
    ngtcp2_pkt_hd hd;
    if (ngtcp2_accept(&hd, reinterpret_cast<const uint8_t *>(packet.constData()), size_t(packet.size())) != 0)
        return;
    if (int(m_connections.size()) >= kMaxConnections)
        return; // the client retries or gives up; existing uploads go on
    auto *connection = new QuicConnection(m_socket, from, port, this);
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
    connection->receivePacket(packet);
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
