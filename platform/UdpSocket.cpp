#include "platform/UdpSocket.h"

#include <array>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrolin {

namespace {

constexpr int kMaxDatagram = 65536;
constexpr int kBufferBytes = 8 << 20;
constexpr size_t kControlBytes = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int));

// An IPv4 address as a dual-stack socket names it.
Q_IPV6ADDR v4Mapped(quint32 v4)
{
    Q_IPV6ADDR bytes{};
    bytes.c[10] = bytes.c[11] = 0xff;
    for (int i = 0; i < 4; ++i)
        bytes.c[12 + i] = quint8(v4 >> (24 - 8 * i));
    return bytes;
}

socklen_t toSockaddr(const QHostAddress &address, quint16 port, bool v6Socket, sockaddr_storage &out)
{
    std::memset(&out, 0, sizeof out);
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (!v6Socket) {
        auto *in = reinterpret_cast<sockaddr_in *>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(v4);
        return sizeof(sockaddr_in);
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    // An IPv4 peer on a dual-stack socket is addressed IPv4-mapped.
    const Q_IPV6ADDR bytes = isV4 ? v4Mapped(v4)
                                  : address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, bytes.c, 16);
    in6->sin6_scope_id = address.scopeId().toUInt();
    return sizeof(sockaddr_in6);
}

QHostAddress fromSockaddr(const sockaddr_storage &from, quint16 &port)
{
    if (from.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&from);
        port = ntohs(in->sin_port);
        return QHostAddress(ntohl(in->sin_addr.s_addr));
    }
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&from);
    port = ntohs(in6->sin6_port);
    QHostAddress address(reinterpret_cast<const quint8 *>(&in6->sin6_addr));
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// What the control messages of one read tell: the address the datagram
// was sent to, raw (family byte, then the address; empty when the socket
// does not tell), which is compared before it is converted, as nearly every
// datagram of a batch shares it; and the size of the datagrams a coalesced
// read (UDP GRO) holds, 0 for one.
struct Arrival {
    std::array<uint8_t, 17> address{};
    int segment = 0;
};

Arrival readControl(msghdr &message)
{
    Arrival arrival;
    if (message.msg_controllen == 0)
        return arrival;
    bool v4 = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            // An IPv4 arrival address is the one, whatever else the socket says.
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival.address = {};
            arrival.address[0] = AF_INET;
            std::memcpy(&arrival.address[1], &info.ipi_addr, 4);
            v4 = true;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO && !v4) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival.address[0] = AF_INET6;
            std::memcpy(&arrival.address[1], &info.ipi6_addr, 16);
        } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            std::memcpy(&arrival.segment, CMSG_DATA(c), sizeof arrival.segment);
        }
    }
    return arrival;
}

// The raw arrival address as an address; null when there is none. An
// IPv4-mapped one is named as IPv4.
QHostAddress addressOf(const std::array<uint8_t, 17> &raw)
{
    if (raw[0] == AF_INET) {
        quint32 v4;
        std::memcpy(&v4, &raw[1], 4);
        return QHostAddress(ntohl(v4));
    }
    if (raw[0] != AF_INET6)
        return {};
    const QHostAddress address(&raw[1]);
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

UdpSocket::UdpSocket(QObject *parent) : QObject(parent) {}

UdpSocket::~UdpSocket() { close(); }

QString UdpSocket::bind(const QHostAddress &address, quint16 port)
{
    close();
    const bool v6 = address.protocol() != QAbstractSocket::IPv4Protocol;
    m_fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return QString::fromLocal8Bit(strerror(errno));
    if (v6) {
        const int off = 0;
        // "Any" takes both families; a specific IPv6 address only its own.
        const int only = address == QHostAddress(QHostAddress::Any) ? off : 1;
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    // A socket bound to every address learns which one each datagram was
    // sent to, so that the answer leaves from it: a device whose socket is
    // connected to the address it dialled drops answers from any other.
    const int on = 1;
    m_wildcard = address == QHostAddress(QHostAddress::Any) || address == QHostAddress(QHostAddress::AnyIPv6)
                 || address == QHostAddress(QHostAddress::AnyIPv4);
    if (m_wildcard) {
        ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        if (v6)
            ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    }
    // Datagrams of one flow that arrive together may be handed to us as
    // one (UDP GRO), and are split again in receive: one system call and
    // one pass through the stack for many packets.
    m_gro = ::setsockopt(m_fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
    for (int option : {SO_RCVBUF, SO_SNDBUF}) {
        const int size = kBufferBytes;
        // The forcing variant passes the system's cap where we may.
        if (::setsockopt(m_fd, SOL_SOCKET, option == SO_RCVBUF ? SO_RCVBUFFORCE : SO_SNDBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(m_fd, SOL_SOCKET, option, &size, sizeof size);
    }
    sockaddr_storage local;
    const QHostAddress bindAddress = address == QHostAddress(QHostAddress::Any) ? QHostAddress(QHostAddress::AnyIPv6) : address;
    const socklen_t length = toSockaddr(bindAddress, port, v6, local);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), length) != 0) {
        const QString error = QString::fromLocal8Bit(strerror(errno));
        close();
        return error;
    }
    sockaddr_storage bound;
    socklen_t boundLength = sizeof bound;
    ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&bound), &boundLength);
    m_localAddress = fromSockaddr(bound, m_localPort);
    m_buffer.resize(kMaxDatagram * 64);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &UdpSocket::readyRead);
    return {};
}

void UdpSocket::close()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void UdpSocket::readPending(const std::function<void(const Datagram &)> &each, int maxBatches)
{
    for (int batch = 0; batch < maxBatches; ++batch) {
        int messages = 0;
        for (const Datagram &datagram : receiveBatch(64, messages))
            each(datagram);
        // Fewer reads than asked for: the socket is empty. (Not fewer
        // datagrams: a coalesced read is split into many.)
        if (messages < 64)
            return;
    }
}

std::vector<UdpSocket::Datagram> UdpSocket::receiveBatch(int max, int &messagesRead)
{
    std::vector<Datagram> out;
    if (m_fd < 0)
        return out;
    max = qBound(1, max, 64);
    mmsghdr messages[64];
    iovec iov[64];
    sockaddr_storage from[64];
    alignas(cmsghdr) char control[64][kControlBytes];
    std::memset(messages, 0, sizeof(mmsghdr) * size_t(max));
    for (int i = 0; i < max; ++i) {
        if (m_wildcard || m_gro) {
            messages[i].msg_hdr.msg_control = control[i];
            messages[i].msg_hdr.msg_controllen = kControlBytes;
        }
        iov[i].iov_base = m_buffer.data() + qsizetype(i) * kMaxDatagram;
        iov[i].iov_len = kMaxDatagram;
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    const int n = ::recvmmsg(m_fd, messages, unsigned(max), MSG_DONTWAIT, nullptr);
    messagesRead = qMax(n, 0);
    out.reserve(size_t(messagesRead));
    for (int i = 0; i < n; ++i) {
        Datagram d;
        const char *bytes = static_cast<const char *>(iov[i].iov_base);
        const qsizetype length = qsizetype(messages[i].msg_len);
        // No copy: the bytes stay in the socket's buffer until the next read.
        d.data = QByteArray::fromRawData(bytes, length);
        // Addresses are converted once per sender and arrival address, not
        // once per datagram: a conversion allocates.
        const socklen_t nameLength = messages[i].msg_hdr.msg_namelen;
        if (nameLength != m_lastFromLength || std::memcmp(&from[i], &m_lastFrom, nameLength) != 0) {
            m_lastFrom = from[i];
            m_lastFromLength = nameLength;
            m_lastSender = fromSockaddr(from[i], m_lastSenderPort);
        }
        d.sender = m_lastSender;
        d.senderPort = m_lastSenderPort;
        const Arrival arrival = readControl(messages[i].msg_hdr);
        if (arrival.address != m_lastLocalKey) {
            m_lastLocalKey = arrival.address;
            m_lastLocal = addressOf(arrival.address);
        }
        d.local = m_lastLocal;
        const int segment = arrival.segment;
        if (segment <= 0 || segment >= length) {
            out.push_back(std::move(d));
            continue;
        }
        for (qsizetype at = 0; at < length; at += segment) {
            d.data = QByteArray::fromRawData(bytes + at, qMin<qsizetype>(segment, length - at));
            out.push_back(d);
        }
    }
    return out;
}

bool UdpSocket::send(const char *data, qint64 size, const QHostAddress &to, quint16 port, const QHostAddress &from)
{
    return sendOne(data, size, 0, to, port, from);
}

bool UdpSocket::sendSegments(const char *data, qint64 size, qint64 segment, const QHostAddress &to, quint16 port,
                             const QHostAddress &from)
{
    if (segment <= 0 || size <= segment)
        return sendOne(data, size, 0, to, port, from);
    if (!m_gsoBroken) {
        if (sendOne(data, size, segment, to, port, from))
            return true;
        // A system or device that cannot segment says so at once: from
        // then on each packet goes alone. A batch the path cannot take as
        // one (its datagrams larger than the path allows) goes alone once.
        if (errno == EIO || errno == EOPNOTSUPP || errno == ENOPROTOOPT)
            m_gsoBroken = true;
        else if (errno != EINVAL && errno != EMSGSIZE)
            return false;
    }
    bool all = true;
    for (qint64 at = 0; at < size; at += segment)
        all = sendOne(data + at, qMin(segment, size - at), 0, to, port, from) && all;
    return all;
}

bool UdpSocket::sendOne(const char *data, qint64 size, qint64 segment, const QHostAddress &to, quint16 port,
                        const QHostAddress &from)
{
    if (m_fd < 0)
        return false;
    const bool v6Socket = m_localAddress.protocol() != QAbstractSocket::IPv4Protocol;
    // Converted once per peer, not per datagram.
    if (port != m_lastToPort || m_lastToLength == 0 || to != m_lastTo) {
        m_lastToLength = toSockaddr(to, port, v6Socket, m_lastToAddress);
        m_lastTo = to;
        m_lastToPort = port;
    }
    sockaddr_storage address = m_lastToAddress;
    const socklen_t length = m_lastToLength;
    iovec iov{const_cast<char *>(data), size_t(size)};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = length;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[kControlBytes] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&message);
    size_t controlUsed = 0;
    if (segment > 0) {
        const uint16_t gso = uint16_t(segment);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof gso);
        std::memcpy(CMSG_DATA(c), &gso, sizeof gso);
        controlUsed += CMSG_SPACE(sizeof gso);
        c = CMSG_NXTHDR(&message, c);
    }
    if (m_wildcard && !from.isNull()) {
        bool isV4 = false;
        const quint32 v4 = from.toIPv4Address(&isV4);
        if (!v6Socket) {
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = htonl(v4);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
            controlUsed += CMSG_SPACE(sizeof info);
        } else {
            // The dual-stack socket takes an IPv4 source IPv4-mapped.
            in6_pktinfo info{};
            const Q_IPV6ADDR bytes = isV4 ? v4Mapped(v4)
                                          : from.toIPv6Address();
            std::memcpy(&info.ipi6_addr, bytes.c, 16);
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
            controlUsed += CMSG_SPACE(sizeof info);
        }
    }
    message.msg_controllen = controlUsed;
    if (controlUsed == 0)
        message.msg_control = nullptr;
    return ::sendmsg(m_fd, &message, 0) == size;
}

} // namespace tavrolin
