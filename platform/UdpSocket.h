#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <array>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace tavrolin {

// A non-blocking UDP socket read in batches (recvmmsg) from the Qt event
// loop. QUIC moves tens of thousands of datagrams a second; reading them
// one system call each, or losing the read notification, stalls it.
class UdpSocket : public QObject {
    Q_OBJECT
public:
    struct Datagram {
        // Valid until the next read: it is not copied out of the socket's
        // buffer.
        QByteArray data;
        QHostAddress sender;
        quint16 senderPort = 0;
        // The address it was sent to; null when the socket cannot tell.
        QHostAddress local;
    };

    explicit UdpSocket(QObject *parent = nullptr);
    ~UdpSocket() override;

    // Empty on success, else the reason.
    QString bind(const QHostAddress &address, quint16 port);
    void close();
    bool isBound() const { return m_fd >= 0; }
    QHostAddress localAddress() const { return m_localAddress; }
    quint16 localPort() const { return m_localPort; }

    // Every datagram that has arrived, to `each` in order, a batch of reads
    // at a time, until the socket is empty or `maxBatches` batches were
    // read (one busy socket must not hold the event loop).
    void readPending(const std::function<void(const Datagram &)> &each, int maxBatches = 16);
    // False when the datagram could not be queued (it is then lost, as UDP
    // may lose it anyway). `from` is the local address it leaves from (an
    // address the datagram being answered arrived on); null lets the
    // system choose.
    bool send(const char *data, qint64 size, const QHostAddress &to, quint16 port, const QHostAddress &from = {});
    // Datagrams of `segment` bytes each (the last may be shorter), laid
    // one after the other in `data`: sent in one call where the system
    // segments them (UDP GSO), else one by one.
    bool sendSegments(const char *data, qint64 size, qint64 segment, const QHostAddress &to, quint16 port,
                      const QHostAddress &from = {});

Q_SIGNALS:
    void readyRead();

private:
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QHostAddress m_localAddress;
    quint16 m_localPort = 0;
    // `messagesRead`: the reads it took, fewer than `max` once the socket
    // is empty (a coalesced read yields many datagrams).
    std::vector<Datagram> receiveBatch(int max, int &messagesRead);
    bool sendOne(const char *data, qint64 size, qint64 segment, const QHostAddress &to, quint16 port, const QHostAddress &from);

    bool m_wildcard = false;
    bool m_gro = false;
    bool m_gsoBroken = false;
    QByteArray m_buffer;
    sockaddr_storage m_lastFrom{};
    socklen_t m_lastFromLength = 0;
    QHostAddress m_lastSender;
    quint16 m_lastSenderPort = 0;
    std::array<uint8_t, 17> m_lastLocalKey{};
    QHostAddress m_lastLocal;
    QHostAddress m_lastTo;
    quint16 m_lastToPort = 0;
    sockaddr_storage m_lastToAddress{};
    socklen_t m_lastToLength = 0;
};

} // namespace tavrolin
