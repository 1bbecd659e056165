#include "tests/support/WebRTCPeer.h"

#include <QJsonDocument>
#include <QTimer>
#include <QtEndian>

namespace tavrolin::test {

AiortcPeer::AiortcPeer(const QString &mode, qint64 burstBytes, const QStringList &extraArgs, QObject *parent)
    : QObject(parent)
{
    start(QStringLiteral(TAVROLIN_TEST_PYTHON), QStringList{QStringLiteral(TAVROLIN_WEBRTC_PEER), mode, QStringLiteral("--burst-bytes"),
                                                            QString::number(burstBytes)}
                                                    + extraArgs);
}

AiortcPeer::AiortcPeer(const Program &program, QObject *parent) : QObject(parent) { start(program.path, program.args); }

void AiortcPeer::start(const QString &program, const QStringList &args)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_pending += m_process.readAllStandardOutput();
        qsizetype newline;
        while ((newline = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(newline);
            m_pending.remove(0, newline + 1);
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.contains(QStringLiteral("offer"))) {
                Q_EMIT offer(object.value(QStringLiteral("offer")).toString());
            } else if (object.contains(QStringLiteral("candidate"))) {
                Q_EMIT candidate(candidateFromLine(object));
            } else
                m_results.append(object);
        }
    });
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_stderr += QString::fromUtf8(m_process.readAllStandardError()); });
    m_process.start(program, args);
}

AiortcPeer::~AiortcPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill(); // our own child, by its pid
            m_process.waitForFinished(5000);
        }
    }
}

void AiortcPeer::write(const QJsonObject &object)
{
    m_process.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void AiortcPeer::sendAnswer(const QString &sdp) { write({{QStringLiteral("answer"), sdp}}); }

void AiortcPeer::sendCandidate(const IceCandidate &candidate) { write(candidateLine(candidate)); }

QJsonObject candidateLine(const IceCandidate &candidate)
{
    QJsonObject object{{QStringLiteral("candidate"), candidate.sdp},
                       {QStringLiteral("sdpMLineIndex"), candidate.sdpMLineIndex}};
    if (candidate.sdpMid)
        object.insert(QStringLiteral("sdpMid"), *candidate.sdpMid);
    return object;
}

IceCandidate candidateFromLine(const QJsonObject &line)
{
    IceCandidate candidate{line.value(QStringLiteral("candidate")).toString(), std::nullopt,
                           line.value(QStringLiteral("sdpMLineIndex")).toInt()};
    if (line.contains(QStringLiteral("sdpMid")))
        candidate.sdpMid = line.value(QStringLiteral("sdpMid")).toString();
    return candidate;
}

void AiortcPeer::finish() { m_process.closeWriteChannel(); }

QJsonObject AiortcPeer::result(const QString &key) const
{
    for (const QJsonObject &object : m_results) {
        if (object.contains(key))
            return object;
    }
    return {};
}

QByteArray burstChunk(quint32 index, qsizetype size)
{
    QByteArray body(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        body[i] = char((index + quint32(i)) & 0xff);
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian(index, out.data());
    while (out.size() < size)
        out += body;
    out.truncate(size);
    return out;
}

EchoingServer::EchoingServer(AiortcPeer &peer, WebRTCConfig config, QObject *parent)
    : QObject(parent), m_peer(peer), m_client(std::make_unique<WebRTCClient>(std::move(config)))
{
    connect(&peer, &AiortcPeer::offer, this, [this](const QString &sdp) { answer(sdp); });
    connect(&peer, &AiortcPeer::candidate, this, [this](const IceCandidate &c) {
        if (m_answered)
            addCandidate(c);
        else
            m_early << c;
    });
    connect(m_client.get(), &WebRTCClient::didGenerateCandidate, this,
            [this](const IceCandidate &c) { m_peer.sendCandidate(c); });
    connect(m_client.get(), &WebRTCClient::didOpenDataChannel, this, [this](const DataChannelPtr &channel) {
        if (!m_opened.contains(channel->label()))
            m_opened.append(channel->label());
    });
    connect(m_client.get(), &WebRTCClient::didReceiveData, this,
            [this](const QByteArray &data, const DataChannelPtr &channel) { respond(data, channel); });
}

QCoro::Task<> EchoingServer::answer(QString sdp)
{
    m_client->createPeerConnection();
    SessionDescription offer{SessionDescription::Type::Offer, sdp};
    const bool set = co_await m_client->setRemoteOffer(std::move(offer));
    if (!set)
        co_return;
    const auto answer = co_await m_client->createAnswer();
    if (answer)
        m_peer.sendAnswer(answer->sdp);
    m_answered = true;
    for (const IceCandidate &c : std::exchange(m_early, {}))
        co_await m_client->addIceCandidate(c);
}

QCoro::Task<> EchoingServer::addCandidate(IceCandidate candidate) { co_await m_client->addIceCandidate(std::move(candidate)); }

QCoro::Task<> EchoingServer::respond(QByteArray data, DataChannelPtr channel)
{
    if (!data.startsWith("burst ")) {
        co_await m_client->send(data, channel);
        co_return;
    }
    const qint64 total = data.mid(6).toLongLong();
    QList<QByteArray> chunks;
    for (qint64 sent = 0; sent < total; sent += 65536)
        chunks.append(burstChunk(quint32(chunks.size()), qsizetype(std::min<qint64>(65536, total - sent))));
    // Watch the channel while the burst goes: what is queued on it must
    // stay within one message of the threshold.
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this,
            [this, channel] { m_maxBuffered = std::max(m_maxBuffered, channel->bufferedAmount()); });
    sampler.start(1);
    m_burstResult = co_await m_client->sendChunks(std::move(chunks), channel);
    m_burstSent = true;
}

} // namespace tavrolin::test
