// Batches of datagrams sent in one call and read coalesced must reach every
// receiver as the datagrams they were: same boundaries, same bytes, same
// order, with the addresses they came from and went to.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QHostAddress>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/UdpSocket.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// 40 datagrams of 1200 bytes and a shorter last one, each of its own bytes.
QByteArray batch(qint64 segment, int full, qint64 last)
{
    QByteArray bytes;
    for (int i = 0; i <= full; ++i)
        bytes += QByteArray(i < full ? segment : last, char('A' + i % 26));
    return bytes;
}

} // namespace

TEST(UdpSocket, BatchesGoOutSegmentedAndArriveAsTheirOwnDatagrams)
{
    constexpr qint64 kSegment = 1200, kLast = 500;
    constexpr int kFull = 40;
    const QByteArray bytes = batch(kSegment, kFull, kLast);

    UdpSocket sender;
    ASSERT_EQ(sender.bind(QHostAddress::LocalHost, 0), QString());

    // Our own receiver, on every address (it learns where each datagram
    // went) and reading coalesced where the system can.
    UdpSocket receiver;
    ASSERT_EQ(receiver.bind(QHostAddress::Any, 0), QString());
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(sender.sendSegments(bytes.constData(), bytes.size(), kSegment, QHostAddress::LocalHost, receiver.localPort()));
        // A single datagram between batches stays one.
        ASSERT_TRUE(sender.send("single", 6, QHostAddress::LocalHost, receiver.localPort()));
    }
    QList<QByteArray> got;
    ASSERT_TRUE(waitUntil([&] {
        receiver.readPending([&](const UdpSocket::Datagram &d) {
            got << QByteArray(d.data.constData(), d.data.size()); // the view lasts until the next read
            EXPECT_EQ(d.sender, QHostAddress(QHostAddress::LocalHost));
            EXPECT_EQ(d.senderPort, sender.localPort());
            EXPECT_EQ(d.local, QHostAddress(QHostAddress::LocalHost));
        });
        return got.size() >= 3 * (kFull + 2);
    }, 5s)) << got.size();
    ASSERT_EQ(got.size(), 3 * (kFull + 2));
    for (int round = 0; round < 3; ++round) {
        const int base = round * (kFull + 2);
        for (int i = 0; i <= kFull; ++i)
            ASSERT_TRUE(got[base + i] == bytes.mid(i * kSegment, i < kFull ? kSegment : kLast)) << round << " " << i;
        EXPECT_EQ(got[base + kFull + 1], "single");
    }

    // A receiver that knows nothing of batches (a phone's socket) gets the
    // same datagrams one by one.
    const int plain = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(plain, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(plain, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(plain, reinterpret_cast<sockaddr *>(&address), &length);
    ASSERT_TRUE(sender.sendSegments(bytes.constData(), bytes.size(), kSegment, QHostAddress::LocalHost, ntohs(address.sin_port)));
    timeval timeout{5, 0};
    ::setsockopt(plain, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[65536];
    for (int i = 0; i <= kFull; ++i) {
        const ssize_t n = ::recv(plain, buffer, sizeof buffer, 0);
        ASSERT_EQ(n, i < kFull ? kSegment : kLast) << i;
        EXPECT_TRUE(QByteArray(buffer, qsizetype(n)) == bytes.mid(i * kSegment, n)) << i;
    }
    ::close(plain);
}
