#pragma once

#include <QHostAddress>
#include <QObject>
#include <map>

#include "platform/IdentityStore.h"
#include "platform/QuicConnection.h"
#include "platform/UdpSocket.h"

namespace tavrolin {

// Accepts QUIC connections on one UDP socket. Connections are owned by the
// server and deleted (later) once closed; `connectionClosed` comes first.
class QuicServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 256;
    // No one host may hold more: the rest stay open to the others.
    static constexpr int kMaxConnectionsPerSource = 32;

    explicit QuicServer(QObject *parent = nullptr);
    ~QuicServer() override;

    // Empty on success, else the reason. Without an identity handshakes fail.
    QString listen(const QHostAddress &address, quint16 port, const std::optional<TlsIdentity> &identity,
                   const QByteArray &alpn, const QuicConnection::Settings &settings);
    void close();
    bool isListening() const { return m_socket.isBound(); }
    quint16 port() const { return m_socket.localPort(); }
    int connectionCount() const { return int(m_connections.size()); }

Q_SIGNALS:
    void newConnection(tavrolin::QuicConnection *connection);
    void connectionClosed(tavrolin::QuicConnection *connection, const QString &reason);
    // A new connection was turned away (the client is told at once).
    void connectionRefused(const QString &endpoint, const QString &reason);

private:
    void onReadyRead();
    void accept(const UdpSocket::Datagram &datagram);
    void refuse(const ngtcp2_pkt_hd &hd, const UdpSocket::Datagram &datagram, const QString &reason);
    void forget(QuicConnection *connection);

    UdpSocket m_socket;
    gnutls_certificate_credentials_t m_credentials = nullptr;
    QByteArray m_alpn;
    QuicConnection::Settings m_settings;
    QByteArray m_resetSecret;
    std::map<QByteArray, QuicConnection *> m_byCid;
    std::vector<QuicConnection *> m_connections;
};

} // namespace tavrolin
