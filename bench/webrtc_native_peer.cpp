// A peer of our own WebRTC stack that speaks the test peer's lines on its
// stdin and stdout (sink mode): it offers a "tunnel" channel, asks for a
// burst of BYTES once the channel is open, checks every message and reports
// the transfer. The benchmarks' baseline for what this stack moves between
// two of its own peers on loopback.
#include "tests/support/WebRTCPeer.h"
#include "tunnel/WebRTCClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

using namespace tavrolin;

namespace {

void emitLine(const QJsonObject &object)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 total = argc > 1 ? QByteArray(argv[1]).toLongLong() : 64LL << 20;
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    WebRTCClient client(config);
    client.createPeerConnection();
    const DataChannelPtr tunnel = client.createDataChannel(QStringLiteral("tunnel"));
    if (!tunnel)
        return 1;

    QObject::connect(&client, &WebRTCClient::didGenerateCandidate, &app,
                     [](const IceCandidate &c) { emitLine(test::candidateLine(c)); });
    QObject::connect(&client, &WebRTCClient::didOpenDataChannel, &app, [&](const DataChannelPtr &channel) {
        if (channel->label() == QStringLiteral("tunnel"))
            client.sendNow("burst " + QByteArray::number(total), channel.get());
    });
    qint64 received = 0;
    quint32 expected = 0;
    bool failed = false;
    QElapsedTimer clock;
    QObject::connect(&client, &WebRTCClient::didReceiveData, &app, [&](const QByteArray &data, const DataChannelPtr &) {
        if (failed || received >= total)
            return;
        if (expected == 0)
            clock.start();
        if (data != test::burstChunk(expected, data.size())) {
            failed = true;
            emitLine({{QStringLiteral("burst_ok"), false}, {QStringLiteral("at"), qint64(expected)}, {QStringLiteral("received"), received}});
            emitLine({{QStringLiteral("finished"), true}});
            return;
        }
        ++expected;
        received += data.size();
        if (received < total)
            return;
        emitLine({{QStringLiteral("burst_ok"), received == total},
                  {QStringLiteral("bytes"), received},
                  {QStringLiteral("messages"), qint64(expected)},
                  {QStringLiteral("seconds"), double(clock.nsecsElapsed()) / 1e9}});
        emitLine({{QStringLiteral("finished"), true}});
    });

    // The other side's answer and candidates, a line each; the end of the
    // input ends the peer.
    QByteArray pending;
    bool answered = false;
    QList<IceCandidate> early;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[65536];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            client.disconnect();
            app.quit();
            return;
        }
        pending.append(buffer, n);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QJsonObject msg = QJsonDocument::fromJson(pending.left(newline)).object();
            pending.remove(0, newline + 1);
            if (msg.contains(QStringLiteral("answer"))) {
                // Candidates that came before the answer wait for it.
                [](WebRTCClient &client, QString sdp, bool &answered, QList<IceCandidate> &early) -> QCoro::Task<> {
                    co_await client.setRemoteAnswer({SessionDescription::Type::Answer, sdp});
                    answered = true;
                    for (const IceCandidate &candidate : std::exchange(early, {}))
                        co_await client.addIceCandidate(candidate);
                }(client, msg.value(QStringLiteral("answer")).toString(), answered, early);
            } else if (msg.contains(QStringLiteral("candidate"))) {
                const IceCandidate candidate = test::candidateFromLine(msg);
                if (answered)
                    client.addIceCandidate(candidate);
                else
                    early << candidate;
            }
        }
    });

    [](WebRTCClient &client) -> QCoro::Task<> {
        const auto offer = co_await client.createOffer();
        if (!offer) {
            emitLine({{QStringLiteral("error"), QStringLiteral("no offer")}});
            QCoreApplication::exit(1);
            co_return;
        }
        emitLine({{QStringLiteral("offer"), offer->sdp}});
    }(client);
    return app.exec();
}
