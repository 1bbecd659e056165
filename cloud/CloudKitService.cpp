#include "cloud/CloudKitService.h"

#include <QUuid>

#include "cloud/ServerDeviceId.h"
#include "platform/AppPaths.h"
#include "platform/DiagnosticLog.h"
#include "platform/HostNames.h"

namespace tavrolin {

namespace {

const QString kServerType = QStringLiteral("ServerRegistration");
const QString kMessageType = QStringLiteral("SignalingMessage");

void cloudLog(const QString &line) { diagLog(QStringLiteral("CloudKit: ") + line); }

QString describe(const RecordError &error) { return error.description; }

QString statusName(AccountStatus status)
{
    switch (status) {
    case AccountStatus::Available:
        return QStringLiteral("available");
    case AccountStatus::CouldNotDetermine:
        return QStringLiteral("couldNotDetermine");
    case AccountStatus::Restricted:
        return QStringLiteral("restricted");
    case AccountStatus::NoAccount:
        return QStringLiteral("noAccount");
    case AccountStatus::TemporarilyUnavailable:
        return QStringLiteral("temporarilyUnavailable");
    }
    return QStringLiteral("unknown");
}

} // namespace

CloudKitService::CloudKitService(RecordStore &store, CloudKitConfig config, QObject *parent)
    : QObject(parent), m_store(store), m_config(std::move(config))
{
    m_settings = m_config.settingsFile.isEmpty() ? AppPaths::userSettings()
                                                 : std::make_unique<QSettings>(m_config.settingsFile, QSettings::IniFormat);
    m_heartbeat.setInterval(m_config.heartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, [this] { sendHeartbeat(); });
    connect(&m_store, &RecordStore::changed, this, &CloudKitService::messagesMayHaveArrived);
}

QString CloudKitService::deviceId() { return serverDeviceId(*m_settings); }

QString CloudKitService::accountStatusText(AccountStatus status)
{
    switch (status) {
    case AccountStatus::CouldNotDetermine:
        return QStringLiteral("Could not check the cloud folder");
    case AccountStatus::Restricted:
        return QStringLiteral("The cloud folder cannot be used here");
    case AccountStatus::NoAccount:
        return QStringLiteral("Choose a cloud folder to reach this server from anywhere");
    case AccountStatus::TemporarilyUnavailable:
        return QStringLiteral("The cloud folder is temporarily unavailable");
    case AccountStatus::Available:
        break;
    }
    return QStringLiteral("Cloud folder not available");
}

QString CloudKitService::registrationErrorText(const RecordError &error)
{
    if (!error.fromStore)
        return QStringLiteral("Failed to register: ") + error.description;
    switch (error.code) {
    case RecordError::QuotaExceeded:
        return QStringLiteral("The cloud folder's disk is full");
    case RecordError::PermissionFailure:
        return QStringLiteral("No permission to write in the cloud folder");
    case RecordError::NotAuthenticated:
        return QStringLiteral("The cloud folder cannot be written");
    default:
        return QStringLiteral("Cloud folder error: ") + error.description;
    }
}

void CloudKitService::setRegistered(bool registered)
{
    if (registered == m_isRegistered)
        return;
    m_isRegistered = registered;
    Q_EMIT isRegisteredChanged();
}

void CloudKitService::setError(const std::optional<QString> &error)
{
    if (error == m_error)
        return;
    m_error = error;
    Q_EMIT errorChanged();
}

QCoro::Task<> CloudKitService::registerServer(int port)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const StoreResult<AccountStatus> status = co_await m_store.accountStatus();
    if (!alive)
        co_return;
    std::optional<RecordError> failure;
    if (!status) {
        failure = status.error();
    } else if (const AccountStatus s = *status; s != AccountStatus::Available) {
        setError(accountStatusText(s));
        cloudLog(QStringLiteral("iCloud account status: ") + statusName(s));
        co_return;
    }

    if (!failure) {
        const QString id = deviceId();
        m_serverRecordName = QStringLiteral("server-") + id;
        StoreResult<Record> fetched = co_await m_store.fetch(kServerType, *m_serverRecordName);
        if (!alive)
            co_return;
        Record record = fetched ? std::move(fetched).value() : Record{kServerType, *m_serverRecordName, {}};
        QString name = m_config.computerName ? m_config.computerName() : HostNames::userVisibleName();
        if (name.trimmed().isEmpty())
            name = QStringLiteral("Tavrolin Server");
        record.fields[QStringLiteral("deviceId")] = id;
        record.fields[QStringLiteral("name")] = name;
        record.fields[QStringLiteral("port")] = qint64(port);
        record.fields[QStringLiteral("isOnline")] = true;
        record.fields[QStringLiteral("lastSeen")] = now();
        failure = co_await m_store.save(record);
        if (!alive)
            co_return;
        if (!failure) {
            setRegistered(true);
            setError(std::nullopt);
            cloudLog(QStringLiteral("Server registered - name: %1, deviceId: %2").arg(name, id));
            cloudLog(QStringLiteral("Other devices should send signaling messages to targetDeviceId: ") + id);
            m_heartbeat.start();
            co_await subscribeToSignaling();
            co_return;
        }
    }
    setError(registrationErrorText(*failure));
    cloudLog(QStringLiteral("Registration failed - ") + describe(*failure));
}

QCoro::Task<> CloudKitService::sendHeartbeat()
{
    if (!m_serverRecordName)
        co_return;
    const Lifetime::Guard alive = m_lifetime.guard();
    StoreResult<Record> fetched = co_await m_store.fetch(kServerType, *m_serverRecordName);
    if (!alive)
        co_return;
    if (!fetched) {
        cloudLog(QStringLiteral("Heartbeat failed - ") + describe(fetched.error()));
        co_return;
    }
    Record record = std::move(fetched).value();
    record.fields[QStringLiteral("lastSeen")] = now();
    record.fields[QStringLiteral("isOnline")] = true;
    const std::optional<RecordError> failure = co_await m_store.save(record);
    if (!alive)
        co_return;
    cloudLog(failure ? QStringLiteral("Heartbeat failed - ") + describe(*failure) : QStringLiteral("Heartbeat sent"));
}

QCoro::Task<> CloudKitService::unregisterServer()
{
    m_heartbeat.stop();
    const Lifetime::Guard alive = m_lifetime.guard();
    QStringList sessions;
    for (const auto &[session, names] : m_sent)
        sessions.append(session);
    for (const QString &session : sessions) {
        co_await endSession(session);
        if (!alive)
            co_return;
    }
    if (!m_serverRecordName)
        co_return;
    StoreResult<Record> fetched = co_await m_store.fetch(kServerType, *m_serverRecordName);
    if (!alive)
        co_return;
    std::optional<RecordError> failure;
    if (!fetched) {
        failure = fetched.error();
    } else {
        Record record = std::move(fetched).value();
        record.fields[QStringLiteral("isOnline")] = false;
        record.fields[QStringLiteral("lastSeen")] = now();
        failure = co_await m_store.save(record);
        if (!alive)
            co_return;
    }
    if (failure) {
        cloudLog(QStringLiteral("Failed to unregister - ") + describe(*failure));
    } else {
        setRegistered(false);
        cloudLog(QStringLiteral("Server unregistered"));
    }
    co_await unsubscribeFromSignaling();
}

QCoro::Task<> CloudKitService::subscribeToSignaling()
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const QString id = deviceId();
    // Built apart: g++ 12 mishandles a braced temporary inside co_await.
    RecordSubscription subscription{QStringLiteral("signaling-") + id, kMessageType, id};
    const StoreResult<QString> saved = co_await m_store.saveSubscription(std::move(subscription));
    if (!alive)
        co_return;
    if (!saved) {
        cloudLog(QStringLiteral("Failed to subscribe - ") + describe(saved.error()));
    } else {
        m_subscriptionId = *saved;
        cloudLog(QStringLiteral("Subscribed to signaling messages"));
    }
    co_await pollForMessages();
}

QCoro::Task<> CloudKitService::unsubscribeFromSignaling()
{
    if (!m_subscriptionId)
        co_return;
    const Lifetime::Guard alive = m_lifetime.guard();
    const std::optional<RecordError> failure = co_await m_store.deleteSubscription(*m_subscriptionId);
    if (!alive)
        co_return;
    cloudLog(failure ? QStringLiteral("Failed to unsubscribe - ") + describe(*failure) : QStringLiteral("Unsubscribed from signaling"));
}

void CloudKitService::forgetOldIds()
{
    // A record older than the poll window is never returned again, so its
    // id can go; the count bound covers records that claim a future time.
    const QDateTime cutoff = now().addSecs(-kForgetAfterSeconds);
    for (auto it = m_processed.begin(); it != m_processed.end();) {
        if (it->second < cutoff)
            it = m_processed.erase(it);
        else
            ++it;
    }
    while (qsizetype(m_processed.size()) > kMaxRememberedIds) {
        auto oldest = std::min_element(m_processed.begin(), m_processed.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
        m_processed.erase(oldest);
    }
}

QCoro::Task<> CloudKitService::pollForMessages()
{
    const int n = ++m_pollCount;
    const Lifetime::Guard alive = m_lifetime.guard();
    const QString id = deviceId();
    const QDateTime windowStart = now().addSecs(-kPollWindowSeconds);
    RecordQuery q{kMessageType, id, false, windowStart, std::nullopt};
    StoreResult<QList<QueryResult>> results = co_await m_store.query(q);
    if (!alive)
        co_return;
    if (!results) {
        cloudLog(QStringLiteral("Failed to poll messages - ") + describe(results.error()));
        co_return;
    }
    // Offers first, then by the time they were written: a device's
    // candidates must not be read before the offer they belong to.
    QList<QueryResult> list = std::move(results).value();
    const auto order = [](const QueryResult &r) {
        if (!r.record)
            return std::pair(2, QDateTime());
        return std::pair(r.record->get<QString>(QStringLiteral("type")) == QLatin1String("offer") ? 0 : 1,
                         r.record->get<QDateTime>(QStringLiteral("timestamp")).value_or(QDateTime()));
    };
    std::stable_sort(list.begin(), list.end(), [&](const QueryResult &a, const QueryResult &b) { return order(a) < order(b); });
    if (n % 20 == 1) {
        cloudLog(QStringLiteral("Looking for unprocessed messages to %1 from last 5 min").arg(id));
        cloudLog(QStringLiteral("Query returned %1 records").arg(list.size()));
    }
    forgetOldIds();
    QStringList toDelete;
    for (const QueryResult &result : list) {
        if (m_processed.count(result.name))
            continue;
        QString unreadable = result.error;
        if (result.record) {
            for (const auto &[field, value] : result.record->fields) {
                if (const auto *text = std::get_if<QString>(&value); text && text->size() > kMaxFieldChars)
                    unreadable = QStringLiteral("field %1 is %2 characters long").arg(field).arg(text->size());
            }
        }
        if (!result.record) {
            // Not ours to delete: it may be addressed to another device, or
            // still be arriving through the sync. It is looked at again in a
            // little while, not at every poll.
            cloudLog(QStringLiteral("Skipping unreadable signaling record %1 - %2").arg(result.name, unreadable));
            m_processed[result.name] = now().addSecs(kRetryUnreadableSeconds - kForgetAfterSeconds);
            continue;
        }
        if (!unreadable.isEmpty()) {
            // Addressed to us, and not a message we can read: it goes, so it
            // cannot be tried again and again.
            cloudLog(QStringLiteral("Discarding unreadable signaling record %1 - %2").arg(result.name, unreadable));
            m_processed[result.name] = now();
            toDelete.append(result.name);
            continue;
        }
        cloudLog(QStringLiteral("\u2605\u2605\u2605 Found NEW signaling message! \u2605\u2605\u2605"));
        // Remembered by the record's own time, so it is kept as long as a
        // poll can still see the record.
        const QDateTime stamp = result.record->get<QDateTime>(QStringLiteral("timestamp")).value_or(now());
        m_processed[result.name] = std::max(stamp, now());
        handleSignalingRecord(*result.record);
        toDelete.append(result.name);
    }
    for (const QString &name : toDelete) {
        co_await m_store.remove(kMessageType, name);
        if (!alive)
            co_return;
    }
    if (n % 100 == 0)
        co_await cleanupOldMessages();
}

void CloudKitService::handleSignalingRecord(const Record &record)
{
    const auto sessionId = record.get<QString>(QStringLiteral("sessionId"));
    const auto senderId = record.get<QString>(QStringLiteral("senderId"));
    const auto type = record.get<QString>(QStringLiteral("type"));
    if (!sessionId || !senderId || !type) {
        cloudLog(QStringLiteral("Failed to parse signaling message - missing fields"));
        return;
    }
    const QString rule = QStringLiteral("========================================");
    cloudLog(rule);
    cloudLog(QStringLiteral("Received signaling message!"));
    cloudLog(QStringLiteral("Type: ") + *type);
    cloudLog(QStringLiteral("Session: ") + *sessionId);
    cloudLog(QStringLiteral("Sender: ") + *senderId);
    cloudLog(rule);
    cloudLog(QStringLiteral("Posting notification to WebRTCTunnelServer..."));
    QVariantMap message;
    message[QStringLiteral("sessionId")] = *sessionId;
    message[QStringLiteral("senderId")] = *senderId;
    message[QStringLiteral("type")] = *type;
    message[QStringLiteral("sdp")] = record.get<QString>(QStringLiteral("sdp")).value_or(QString());
    message[QStringLiteral("candidate")] = record.get<QString>(QStringLiteral("candidate")).value_or(QString());
    message[QStringLiteral("sdpMid")] = record.get<QString>(QStringLiteral("sdpMid")).value_or(QString());
    message[QStringLiteral("sdpMLineIndex")] = record.get<qint64>(QStringLiteral("sdpMLineIndex")).value_or(0);
    Q_EMIT signalingMessage(message);
    cloudLog(QStringLiteral("Notification posted!"));
}

QCoro::Task<> CloudKitService::cleanupOldMessages()
{
    const Lifetime::Guard alive = m_lifetime.guard();
    // Old records to this server, and what it sent that nobody took
    // (answers and candidates to devices that never came back for them),
    // from one pass over the records of every device.
    RecordQuery q{kMessageType, {}, std::nullopt, std::nullopt, now().addSecs(-kCleanupAgeSeconds), true};
    StoreResult<QList<QueryResult>> results = co_await m_store.query(q);
    if (!alive)
        co_return;
    if (!results) {
        cloudLog(QStringLiteral("Cleanup failed - ") + describe(results.error()));
        co_return;
    }
    QList<QueryResult> list = *results;
    // Unreadable records have no time to compare; the poll discards those.
    const QString self = deviceId();
    list.removeIf([&](const QueryResult &r) {
        return !r.record
            || (r.record->get<QString>(QStringLiteral("targetDeviceId")) != self
                && r.record->get<QString>(QStringLiteral("senderId")) != self);
    });
    if (list.isEmpty())
        co_return;
    cloudLog(QStringLiteral("Cleaning up %1 old signaling messages").arg(list.size()));
    for (const QueryResult &result : list) {
        co_await m_store.remove(kMessageType, result.name);
        if (!alive)
            co_return;
    }
}

QCoro::Task<std::optional<RecordError>> CloudKitService::sendMessage(Record record, QString target)
{
    const QString type = record.get<QString>(QStringLiteral("type")).value_or(QString());
    const QString session = record.get<QString>(QStringLiteral("sessionId")).value_or(QString());
    const QString name = record.name;
    m_sent[session].append(name);
    const Lifetime::Guard alive = m_lifetime.guard();
    const std::optional<RecordError> failure = co_await m_store.save(record);
    if (!alive)
        co_return failure;
    if (!failure)
        cloudLog(QStringLiteral("Sent signaling message - type: %1, target: %2").arg(type, target));
    const auto open = m_sent.find(session);
    if (open == m_sent.end() || !open->second.contains(name)) {
        // The session ended while this was being written; nobody will read it.
        co_await m_store.remove(kMessageType, name);
    }
    co_return failure;
}

QCoro::Task<> CloudKitService::endSession(QString sessionId)
{
    const auto open = m_sent.find(sessionId);
    if (open == m_sent.end())
        co_return;
    const QStringList names = std::move(open->second);
    m_sent.erase(open);
    const Lifetime::Guard alive = m_lifetime.guard();
    // Records the client already took are gone; removing them again is harmless.
    for (const QString &name : names) {
        co_await m_store.remove(kMessageType, name);
        if (!alive)
            co_return;
    }
}

Record CloudKitService::signalingRecord(const QString &sessionId, const QString &sender, const QString &target,
                                       const QString &type, const QDateTime &timestamp)
{
    Record record{kMessageType, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), {}};
    record.fields = {{QStringLiteral("sessionId"), sessionId}, {QStringLiteral("senderId"), sender},
                     {QStringLiteral("targetDeviceId"), target}, {QStringLiteral("type"), type},
                     {QStringLiteral("processed"), false},       {QStringLiteral("timestamp"), timestamp}};
    return record;
}

std::map<QString, FieldValue> CloudKitService::candidateFields(const QString &candidate, const std::optional<QString> &sdpMid,
                                                               qint64 sdpMLineIndex)
{
    std::map<QString, FieldValue> fields{{QStringLiteral("candidate"), candidate},
                                         {QStringLiteral("sdpMLineIndex"), sdpMLineIndex}};
    if (sdpMid)
        fields[QStringLiteral("sdpMid")] = *sdpMid;
    return fields;
}

QCoro::Task<std::optional<RecordError>> CloudKitService::sendAnswer(QString sessionId, QString target, QString sdp)
{
    Record record = signalingRecord(sessionId, deviceId(), target, QStringLiteral("answer"), now());
    record.fields[QStringLiteral("sdp")] = sdp;
    co_return co_await sendMessage(std::move(record), target);
}

QCoro::Task<std::optional<RecordError>> CloudKitService::sendIceCandidate(QString sessionId, QString target, QString candidate,
                                                                          std::optional<QString> sdpMid, qint64 sdpMLineIndex)
{
    Record record = signalingRecord(sessionId, deviceId(), target, QStringLiteral("ice-candidate"), now());
    record.fields.merge(candidateFields(candidate, sdpMid, sdpMLineIndex));
    co_return co_await sendMessage(std::move(record), target);
}

} // namespace tavrolin
