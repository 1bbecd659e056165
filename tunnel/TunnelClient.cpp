#include "tunnel/TunnelClient.h"

#include "cloud/CloudKitService.h"
#include "tunnel/FileChunkReader.h"

#include "platform/DiagnosticLog.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QFuture>
#include <QDateTime>
#include <QFile>
#include <QElapsedTimer>
#include <QTimer>
#include <QUuid>
#include <algorithm>

namespace tavrolin {

using namespace HTTPTunnelProtocol;

namespace {

void log(const QString &line) { diagLog(QStringLiteral("TunnelClient: ") + line); }

const QString kMessageType = QStringLiteral("SignalingMessage"); // as CloudKitService writes them
const QString kServerType = QStringLiteral("ServerRegistration");

QString newId() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

Unexpected<TunnelError> tunnelError(const QString &id, const QString &message) { return {TunnelError{id, -1, message}}; }

} // namespace

TunnelClient::TunnelClient(RecordStore &store, TunnelClientConfig config, QObject *parent)
    : QObject(parent),
      deviceId(newId()),
      m_store(store),
      m_config(std::move(config)),
      // Large answers stay in their file, for the caller to move into place.
      m_assembler(m_config.tempDir, {}, {.handOnFiles = true})
{
}

TunnelClient::~TunnelClient()
{
    m_lifetime.end();
    failAll(QStringLiteral("The tunnel client was closed"));
    disconnect();
}

bool TunnelClient::isConnected() const { return m_channel && m_channel->isOpen(); }

void TunnelClient::disconnect()
{
    if (m_client)
        m_client->disconnect();
    m_channel.reset();
}

QCoro::Task<> TunnelClient::close()
{
    disconnect();
    RecordQuery query;
    query.type = kMessageType;
    query.targetDeviceId = deviceId;
    const auto found = co_await m_store.query(std::move(query));
    if (!found)
        co_return;
    for (const QueryResult &result : *found) {
        QString type = kMessageType, name = result.name;
        co_await m_store.remove(std::move(type), std::move(name));
    }
}

QCoro::Task<std::optional<QString>> TunnelClient::findServer()
{
    RecordQuery query;
    query.type = kServerType;
    query.anyTarget = true;
    const auto found = co_await m_store.query(std::move(query));
    if (!found) {
        log(QStringLiteral("Cannot look for servers - ") + found.error().description);
        co_return std::nullopt;
    }
    std::optional<QString> best;
    QDateTime bestSeen;
    for (const QueryResult &result : *found) {
        if (!result.record || !result.record->get<bool>(QStringLiteral("isOnline")).value_or(false))
            continue;
        const auto id = result.record->get<QString>(QStringLiteral("deviceId"));
        const QDateTime seen = result.record->get<QDateTime>(QStringLiteral("lastSeen")).value_or(QDateTime());
        if (id && !id->isEmpty() && (!best || seen > bestSeen)) {
            best = *id;
            bestSeen = seen;
        }
    }
    co_return best;
}

QCoro::Task<std::optional<RecordError>> TunnelClient::writeMessage(QString type, std::map<QString, FieldValue> extra)
{
    Record record =
        CloudKitService::signalingRecord(m_sessionId, deviceId, m_serverId, type, QDateTime::currentDateTimeUtc());
    record.fields.merge(extra);
    co_return co_await m_store.save(std::move(record));
}

QCoro::Task<std::optional<QString>> TunnelClient::connectToServer(QString serverId)
{
    if (serverId.isEmpty()) {
        const auto found = co_await findServer();
        if (!found)
            co_return QStringLiteral("No online server found in the record store");
        serverId = *found;
    }
    m_serverId = serverId;
    m_sessionId = newId();
    m_answered = false;
    m_earlyCandidates.clear();
    m_client = std::make_unique<WebRTCClient>(m_config.webrtc);
    connect(m_client.get(), &WebRTCClient::didGenerateCandidate, this, [this](const IceCandidate &c) {
        // Written once the server holds the session: a candidate read
        // before its offer would find no session to join.
        if (m_answered)
            sendCandidate(c);
        else
            m_earlyCandidates.append(c);
    });
    connect(m_client.get(), &WebRTCClient::didReceiveData, this, [this](const QByteArray &data, const DataChannelPtr &) { received(data); });
    connect(m_client.get(), &WebRTCClient::didChangeConnectionState, this, [this](IceConnectionState state) {
        if (state == IceConnectionState::Failed || state == IceConnectionState::Disconnected
            || state == IceConnectionState::Closed)
            failAll(QStringLiteral("The session ended"));
    });
    m_client->createPeerConnection();
    if (!m_client->hasPeerConnection())
        co_return QStringLiteral("Cannot create a peer connection");
    m_channel = m_client->createDataChannel(QStringLiteral("tunnel"));
    if (!m_channel)
        co_return QStringLiteral("Cannot create the data channel");
    const auto offer = co_await m_client->createOffer();
    if (!offer)
        co_return QStringLiteral("Cannot create an offer");
    std::map<QString, FieldValue> fields{{QStringLiteral("sdp"), offer->sdp}};
    const auto failure = co_await writeMessage(QStringLiteral("offer"), std::move(fields));
    if (failure)
        co_return QStringLiteral("Cannot write the offer - ") + failure->description;
    log(QStringLiteral("Offer sent to %1 (session %2)").arg(m_serverId, m_sessionId));

    QElapsedTimer elapsed;
    elapsed.start();
    const Lifetime::Guard alive = m_lifetime.guard();
    while (!m_channel->isOpen()) {
        if (elapsed.elapsed() > m_config.connectTimeout.count())
            co_return QStringLiteral("The server did not answer within %1 s").arg(m_config.connectTimeout.count() / 1000);
        co_await pollSignaling();
        if (!alive)
            co_return QStringLiteral("The tunnel client was closed");
        if (!m_channel)
            co_return QStringLiteral("Disconnected");
        if (!m_channel->isOpen())
            co_await QCoro::sleepFor(m_config.pollInterval);
        if (!alive || !m_channel)
            co_return QStringLiteral("The tunnel client was closed");
    }
    log(QStringLiteral("Channel open"));
    co_return std::nullopt;
}

QCoro::Task<> TunnelClient::pollSignaling()
{
    RecordQuery query;
    query.type = kMessageType;
    query.targetDeviceId = deviceId;
    const Lifetime::Guard alive = m_lifetime.guard();
    const auto found = co_await m_store.query(std::move(query));
    if (!alive || !found)
        co_return;
    QList<Record> mine;
    for (const QueryResult &result : *found) {
        if (result.record && result.record->get<QString>(QStringLiteral("sessionId")) == m_sessionId)
            mine.append(*result.record);
    }
    // The answer first, whatever the clocks wrote.
    std::stable_sort(mine.begin(), mine.end(), [](const Record &a, const Record &b) {
        const bool aAnswer = a.get<QString>(QStringLiteral("type")) == QLatin1String("answer");
        const bool bAnswer = b.get<QString>(QStringLiteral("type")) == QLatin1String("answer");
        if (aAnswer != bAnswer)
            return aAnswer;
        return a.get<QDateTime>(QStringLiteral("timestamp")) < b.get<QDateTime>(QStringLiteral("timestamp"));
    });
    for (const Record &record : mine) {
        QString type = record.type, name = record.name;
        co_await m_store.remove(std::move(type), std::move(name));
        if (!alive || !m_client)
            co_return;
        const QString kind = record.get<QString>(QStringLiteral("type")).value_or(QString());
        if (kind == QLatin1String("answer") && !m_answered) {
            SessionDescription answer{SessionDescription::Type::Answer, record.get<QString>(QStringLiteral("sdp")).value_or(QString())};
            if (!co_await m_client->setRemoteAnswer(std::move(answer))) {
                log(QStringLiteral("The server's answer was refused"));
                continue;
            }
            if (!alive)
                co_return;
            m_answered = true;
            for (const IceCandidate &early : std::exchange(m_earlyCandidates, {}))
                sendCandidate(early);
        } else if (kind == QLatin1String("ice-candidate") && m_answered) {
            IceCandidate candidate{record.get<QString>(QStringLiteral("candidate")).value_or(QString()),
                                   record.get<QString>(QStringLiteral("sdpMid")),
                                   int(record.get<qint64>(QStringLiteral("sdpMLineIndex")).value_or(0))};
            co_await m_client->addIceCandidate(std::move(candidate));
            if (!alive)
                co_return;
        }
    }
}

QCoro::Task<> TunnelClient::sendCandidate(IceCandidate candidate)
{
    const auto failure = co_await writeMessage(
        QStringLiteral("ice-candidate"), CloudKitService::candidateFields(candidate.sdp, candidate.sdpMid, candidate.sdpMLineIndex));
    if (failure)
        log(QStringLiteral("Cannot write a candidate - ") + failure->description);
}

QCoro::Task<TunnelClient::Answer> TunnelClient::send(TunnelRequest request)
{
    if (request.id.isEmpty())
        request.id = newId();
    const QString id = request.id;
    if (!isConnected())
        co_return tunnelError(id, QStringLiteral("Not connected"));
    if (m_waiting.contains(id))
        co_return tunnelError(id, QStringLiteral("A request with this id is already waiting"));
    // A body in a file goes out a chunk at a time, read as the channel
    // drains; small requests go whole, other large ones as chunks.
    std::optional<FileChunkReader> fromFile;
    QList<QByteArray> messages;
    const QByteArray header = encodeRequestHeader({request.id, request.method, request.path, request.headers});
    if (!request.bodyFile.isEmpty()) {
        fromFile.emplace(request.bodyFile, MessageType::Request, header, newId());
        if (!fromFile->open())
            co_return tunnelError(id, QStringLiteral("Cannot read %1: %2").arg(request.bodyFile, fromFile->errorString()));
    } else if (auto whole = serializeRequest(request); whole && whole->size() <= kMaxMessageSize) {
        messages.append(*whole);
    } else {
        auto chunks = createChunks(MessageType::Request, header, request.body.value_or(QByteArray()));
        if (!chunks)
            co_return tunnelError(id, describe(chunks.error()));
        messages = std::move(chunks).value();
    }
    auto promise = std::make_shared<QPromise<Answer>>();
    promise->start();
    QFuture<Answer> future = promise->future();
    m_waiting.insert(id, promise);
    const Lifetime::Guard alive = m_lifetime.guard();
    DataChannelPtr channel = m_channel;
    bool sent = true;
    if (fromFile) {
        const qint64 total = fromFile->bodySize();
        while (sent && !fromFile->atEnd()) {
            std::optional<QByteArray> message = fromFile->next();
            if (!message) {
                log(QStringLiteral("Upload stopped: ") + fromFile->errorString());
                sent = false;
                break;
            }
            sent = co_await m_client->send(std::move(*message), channel);
            if (!alive)
                co_return tunnelError(id, QStringLiteral("The client went away"));
            Q_EMIT sendProgress(id, fromFile->bytesRead(), total);
        }
    } else {
        sent = co_await m_client->sendChunks(std::move(messages), channel);
    }
    if (!alive)
        co_return tunnelError(id, QStringLiteral("The client went away"));
    if (!sent)
        finish(id, tunnelError(id, QStringLiteral("The request could not be sent")));
    // The answer's time counts from here: a long upload is not a late answer.
    // Bound to this object: the timer goes with it.
    QTimer::singleShot(m_config.requestTimeout, this,
                       [this, id] { finish(id, tunnelError(id, QStringLiteral("No answer in time"))); });
    Answer answer = co_await future;
    co_return answer;
}

void TunnelClient::received(const QByteArray &data)
{
    auto message = m_assembler.processIncoming(data);
    if (!message)
        return;
    if (auto *response = std::get_if<TunnelResponse>(&*message)) {
        const QString id = response->id;
        finish(id, std::move(*response));
    } else if (auto *error = std::get_if<TunnelError>(&*message)) {
        const QString id = error->id;
        finish(id, Unexpected{std::move(*error)});
    }
}

void TunnelClient::finish(const QString &id, Answer answer)
{
    const auto promise = m_waiting.take(id);
    if (!promise) {
        // Too late (or never asked for): nobody will take its file.
        if (answer && !answer->bodyFile.isEmpty())
            QFile::remove(answer->bodyFile);
        return;
    }
    promise->addResult(std::move(answer));
    promise->finish();
}

void TunnelClient::failAll(const QString &why)
{
    const QStringList ids = m_waiting.keys();
    for (const QString &id : ids)
        finish(id, tunnelError(id, why));
}

} // namespace tavrolin
