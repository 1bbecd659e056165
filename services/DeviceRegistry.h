#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include <QCoro/QCoroTask>

#include "platform/JsonBounds.h"

namespace tavrolin {

enum class ConnectionType { Lan, WebRTC };
QString connectionTypeName(ConnectionType type); // "lan", "webrtc"
std::optional<ConnectionType> connectionTypeFromName(const QString &name);

struct RegisteredDevice {
    QString id;
    QString name;
    QDateTime lastSeen; // UTC
    ConnectionType connectionType = ConnectionType::Lan;
    bool operator==(const RegisteredDevice &) const = default;
};

// What a registration gives: the device count, or why it was refused.
struct RegistrationResult {
    int deviceCount = 0;
    QString error;           // empty on success
    bool notSaved = false;   // the request was sound; the registry could not be saved
    bool throttled = false;  // too many new devices from where it came from; later it may go
    bool ok() const { return error.isEmpty(); }
};

class PendingRegistration;

// The devices that have announced themselves, kept in order of first
// registration and saved in full to device_registry.json. A registration
// is answered once the file that holds it is saved; registrations that
// arrive while a save is under way go together into the next one, so a
// flood of them costs one save per batch, not one per registration.
class DeviceRegistry : public QObject {
    Q_OBJECT
    Q_PROPERTY(int deviceCount READ deviceCount NOTIFY devicesChanged)
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int kMaxTextLength = 256;
    static constexpr int kMaxDevices = 10000;
    // New devices one address may add in a day: more than a household has,
    // far fewer than would fill the registry for everyone else.
    static constexpr int kMaxNewPerSource = 100;
    // The file it reads: a list of flat device objects, no larger than the
    // most devices with the longest texts, every character escaped, make it.
    static constexpr JsonBounds kFileBounds{qsizetype(64) << 20, 2};

    // The server stack gives the file in its data folder; tests also a clock.
    explicit DeviceRegistry(QString filePath, Clock clock = {}, int maxDevices = kMaxDevices,
                            int maxNewPerSource = kMaxNewPerSource, QObject *parent = nullptr);
    ~DeviceRegistry() override;

    const QList<RegisteredDevice> &devices() const { return m_devices; }
    int deviceCount() const { return int(m_devices.size()); }

    // `source` is where the request came from (an address, a tunnel
    // session): each may add only so many new devices a day. Known ids
    // always update.
    QCoro::Task<RegistrationResult> registerDevice(QString id, QString name, ConnectionType type, QString source);
    nlohmann::ordered_json deviceListResponse() const;

    // Seconds since 2001-01-01T00:00:00Z, as the file stores them.
    static double toReferenceSeconds(const QDateTime &t);
    static QDateTime fromReferenceSeconds(double seconds);

Q_SIGNALS:
    void devicesChanged();

private:
    struct Change {
        QString id;
        QString name;
        ConnectionType type;
        QDateTime when;
        QString source;
        std::shared_ptr<PendingRegistration> pending;
    };
    struct Batch {
        std::vector<Change> changes;
        QList<RegisteredDevice> devices; // as they will be once saved
        QStringList logLines;
    };

    void load();
    void scheduleSave();
    void saveBatch();
    void batchSaved(const QString &error);
    // Applies the change to `devices`; empty, or why it is refused.
    QString apply(const Change &change, QList<RegisteredDevice> &devices, QStringList &logLines, bool &throttled);
    static QString serialize(const QList<RegisteredDevice> &devices, QByteArray &out);

    QString m_filePath;
    Clock m_clock;
    int m_maxDevices;
    int m_maxNewPerSource;
    QList<RegisteredDevice> m_devices; // as saved
    bool m_saveBlocked = false;
    std::vector<Change> m_queued;
    std::optional<Batch> m_saving;
    bool m_saveScheduled = false;
    std::thread m_writer;
    std::map<QString, std::deque<QDateTime>> m_newBySource;
};

} // namespace tavrolin
