#pragma once

#include <QObject>
#include <QSettings>
#include <QTimer>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>

#include "platform/Lifetime.h"
#include "platform/ManagedService.h"
#include "platform/RecordStore.h"

namespace tavrolin {

struct CloudKitConfig {
    int heartbeatMs = 60000;
    QString settingsFile;                  // empty: the user's settings (device id)
    std::function<QDateTime()> clock;      // empty: the system clock (UTC)
    std::function<QString()> computerName; // empty: the computer's user-visible name
};

// Presence and signaling through the cloud record store: a
// ServerRegistration record says this server is online; SignalingMessage
// records addressed to its device id carry WebRTC offers and candidates,
// found by polling, handed on as `signalingMessage`, and deleted; answers
// and the server's candidates are written back to the client.
class CloudKitService : public QObject, public ManagedService {
    Q_OBJECT
    Q_PROPERTY(bool isRegistered READ isRegistered NOTIFY isRegisteredChanged)
    Q_PROPERTY(QString error READ errorText NOTIFY errorChanged)
public:
    static constexpr int kPollWindowSeconds = 300;
    static constexpr int kCleanupAgeSeconds = 600;
    // Handled ids are kept a minute past the window in which a poll can
    // still see their records, and never more than this many.
    static constexpr int kForgetAfterSeconds = kPollWindowSeconds + 60;
    // An unreadable record is looked at again after this long.
    static constexpr int kRetryUnreadableSeconds = 10;
    static constexpr int kMaxRememberedIds = 20000;

    static constexpr qsizetype kMaxFieldChars = 64 * 1024;

    explicit CloudKitService(RecordStore &store, CloudKitConfig config = {}, QObject *parent = nullptr);
    ~CloudKitService() override { m_lifetime.end(); }

    bool isRegistered() const { return m_isRegistered; }
    std::optional<QString> error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    QString deviceId();
    int pollCount() const { return m_pollCount; }
    qsizetype rememberedMessageCount() const { return m_processed.size(); }

    // The SignalingMessage layout, for this server and the tunnel's own
    // client alike: a new record of one step (type "offer", "answer" or
    // "ice-candidate"), addressed to target; the step's own fields go in
    // beside these.
    static Record signalingRecord(const QString &sessionId, const QString &sender, const QString &target, const QString &type,
                                  const QDateTime &timestamp);
    static std::map<QString, FieldValue> candidateFields(const QString &candidate, const std::optional<QString> &sdpMid,
                                                         qint64 sdpMLineIndex);

    QCoro::Task<> registerServer(int port);
    QCoro::Task<> unregisterServer();
    QCoro::Task<> pollForMessages();
    QCoro::Task<std::optional<RecordError>> sendAnswer(QString sessionId, QString target, QString sdp);
    QCoro::Task<std::optional<RecordError>> sendIceCandidate(QString sessionId, QString target, QString candidate,
                                                             std::optional<QString> sdpMid, qint64 sdpMLineIndex);
    // The session is over: what was written to its client and is still in
    // the store goes (a client that left never reads it), and so does
    // anything still being written for it.
    QCoro::Task<> endSession(QString sessionId);
    qsizetype openSessionCount() const { return qsizetype(m_sent.size()); }

    QCoro::Task<> start(int s3Port) override { co_await registerServer(s3Port); }
    QCoro::Task<> stop() override { co_await unregisterServer(); }

    static QString accountStatusText(AccountStatus status);
    static QString registrationErrorText(const RecordError &error);

Q_SIGNALS:
    void isRegisteredChanged();
    void errorChanged();
    // "cloudKitSignalingMessage": sessionId, senderId, type, sdp, candidate,
    // sdpMid (text) and sdpMLineIndex (integer).
    void signalingMessage(const QVariantMap &message);
    // The store saw its folders change: a poll now finds new messages
    // without waiting for the next tick.
    void messagesMayHaveArrived();

private:
    QCoro::Task<> sendHeartbeat();
    QCoro::Task<> subscribeToSignaling();
    QCoro::Task<> unsubscribeFromSignaling();
    void handleSignalingRecord(const Record &record);
    QCoro::Task<> cleanupOldMessages();
    QCoro::Task<std::optional<RecordError>> sendMessage(Record record, QString target);
    void setRegistered(bool registered);
    void setError(const std::optional<QString> &error);
    void forgetOldIds();
    QDateTime now() const { return m_config.clock ? m_config.clock() : QDateTime::currentDateTimeUtc(); }

    RecordStore &m_store;
    CloudKitConfig m_config;
    std::unique_ptr<QSettings> m_settings;
    bool m_isRegistered = false;
    std::optional<QString> m_error;
    std::optional<QString> m_serverRecordName;
    std::optional<QString> m_subscriptionId;
    QTimer m_heartbeat;
    int m_pollCount = 0;
    std::map<QString, QDateTime> m_processed; // record name -> when it was handled
    std::map<QString, QStringList> m_sent;    // session id -> records written to its client
    Lifetime m_lifetime;
};

} // namespace tavrolin
