#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

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
    bool ok() const { return error.isEmpty(); }
};

// The devices that have announced themselves, kept in order of first
// registration and saved in full to device_registry.json after each change.
class DeviceRegistry : public QObject {
    Q_OBJECT
    Q_PROPERTY(int deviceCount READ deviceCount NOTIFY devicesChanged)
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int kMaxTextLength = 256;
    static constexpr int kMaxDevices = 10000;

    // The server stack gives the file in its data folder; tests also a clock.
    explicit DeviceRegistry(QString filePath, Clock clock = {}, int maxDevices = kMaxDevices, QObject *parent = nullptr);

    const QList<RegisteredDevice> &devices() const { return m_devices; }
    int deviceCount() const { return int(m_devices.size()); }

    RegistrationResult registerDevice(const QString &id, const QString &name, ConnectionType type);
    nlohmann::ordered_json deviceListResponse() const;

    // Seconds since 2001-01-01T00:00:00Z, as the file stores them.
    static double toReferenceSeconds(const QDateTime &t);
    static QDateTime fromReferenceSeconds(double seconds);

Q_SIGNALS:
    void devicesChanged();

private:
    void load();
    QString save(); // why it failed, empty once saved

    QString m_filePath;
    Clock m_clock;
    int m_maxDevices;
    QList<RegisteredDevice> m_devices;
    bool m_saveBlocked = false;
};

} // namespace tavrolin
