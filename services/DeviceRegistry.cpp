#include "services/DeviceRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

#include "platform/AtomicFile.h"
#include "platform/DiagnosticLog.h"
#include "platform/StrictJson.h"

namespace tavrolin {

namespace {

using Json = nlohmann::json;

constexpr qint64 kReferenceEpochMs = 978307200000LL; // 2001-01-01T00:00:00Z

void log(const QString &line) { diagLog(QStringLiteral("DeviceRegistry: ") + line); }

QString idPreview(const QString &id) { return id.left(8); }

std::string utf8(const QString &s) { return s.toStdString(); }

std::optional<QList<RegisteredDevice>> decode(const QByteArray &bytes, QString &error)
{
    const Json json = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded() || !json.is_array()) {
        error = json.is_discarded() ? QStringLiteral("not valid JSON") : QStringLiteral("not a JSON array");
        return std::nullopt;
    }
    QList<RegisteredDevice> devices;
    for (const Json &item : json) {
        const auto id = stringMember(item, "id"), name = stringMember(item, "name"), type = stringMember(item, "connectionType");
        const auto connection = type ? connectionTypeFromName(*type) : std::nullopt;
        // An id means the item is an object, so find() is safe.
        const auto seen = id ? item.find("lastSeen") : item.end();
        if (!id || !name || !connection || seen == item.end() || !seen->is_number() || !std::isfinite(seen->get<double>())) {
            error = QStringLiteral("entry %1 is not a device").arg(devices.size());
            return std::nullopt;
        }
        devices.append({*id, *name, DeviceRegistry::fromReferenceSeconds(seen->get<double>()), *connection});
    }
    return devices;
}

} // namespace

QString connectionTypeName(ConnectionType type) { return type == ConnectionType::Lan ? QStringLiteral("lan") : QStringLiteral("webrtc"); }

std::optional<ConnectionType> connectionTypeFromName(const QString &name)
{
    if (name == QLatin1String("lan"))
        return ConnectionType::Lan;
    if (name == QLatin1String("webrtc"))
        return ConnectionType::WebRTC;
    return std::nullopt;
}

double DeviceRegistry::toReferenceSeconds(const QDateTime &t) { return double(t.toMSecsSinceEpoch() - kReferenceEpochMs) / 1000.0; }

QDateTime DeviceRegistry::fromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(kReferenceEpochMs + qint64(std::llround(seconds * 1000.0)), Qt::UTC);
}

DeviceRegistry::DeviceRegistry(QString filePath, Clock clock, int maxDevices, QObject *parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_maxDevices(maxDevices)
{
    load();
}

void DeviceRegistry::load()
{
    QFile file(m_filePath);
    if (!file.exists()) {
        log(QStringLiteral("No existing registry found"));
        return;
    }
    QString error;
    std::optional<QList<RegisteredDevice>> devices;
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    else
        devices = decode(file.readAll(), error);
    file.close();
    if (devices) {
        m_devices = *devices;
        log(QStringLiteral("Loaded %1 devices").arg(m_devices.size()));
        return;
    }
    log(QStringLiteral("Failed to load registry: ") + error);
    // The next save would replace every known device with an empty list:
    // keep the unreadable file aside first.
    const QString aside = m_filePath + QStringLiteral(".corrupt-")
        + m_clock().toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    if (QFile::rename(m_filePath, aside))
        log(QStringLiteral("Kept the unreadable registry as ") + QFileInfo(aside).fileName());
    else
        m_saveBlocked = true; // never overwrite a registry we could not read
}

RegistrationResult DeviceRegistry::registerDevice(const QString &id, const QString &name, ConnectionType type)
{
    if (id.size() > kMaxTextLength || name.size() > kMaxTextLength)
        return {deviceCount(), QStringLiteral("deviceId and deviceName may have at most %1 characters").arg(kMaxTextLength)};

    const QDateTime now = m_clock().toUTC();
    // A change that cannot be saved is not made: the devices stay as the
    // file has them, and the caller hears of it.
    const QList<RegisteredDevice> before = m_devices;
    const auto existing = std::find_if(m_devices.begin(), m_devices.end(), [&](const RegisteredDevice &d) { return d.id == id; });
    QString done;
    if (existing != m_devices.end()) {
        existing->name = name;
        existing->lastSeen = now;
        existing->connectionType = type;
        done = QStringLiteral("Updated device '%1' (id: %2...)").arg(name, idPreview(id));
    } else {
        if (deviceCount() >= m_maxDevices)
            return {deviceCount(), QStringLiteral("The registry is full (%1 devices)").arg(m_maxDevices)};
        m_devices.append({id, name, now, type});
        done = QStringLiteral("Registered new device '%1' (id: %2...)").arg(name, idPreview(id));
    }
    if (const QString failed = save(); !failed.isEmpty()) {
        m_devices = before;
        return {deviceCount(), QStringLiteral("The registry could not be saved: ") + failed, true};
    }
    log(done);
    Q_EMIT devicesChanged();
    return {deviceCount(), {}};
}

QString DeviceRegistry::save()
{
    const auto failed = [](const QString &why) {
        log(QStringLiteral("Failed to save registry: ") + why);
        return why;
    };
    if (m_saveBlocked)
        return failed(QStringLiteral("the unreadable registry could not be moved aside"));
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const RegisteredDevice &d : m_devices)
        array.push_back({{"id", utf8(d.id)},
                         {"name", utf8(d.name)},
                         {"lastSeen", toReferenceSeconds(d.lastSeen)},
                         {"connectionType", utf8(connectionTypeName(d.connectionType))}});
    if (!QDir().mkpath(QFileInfo(m_filePath).absolutePath()))
        return failed(QStringLiteral("cannot create %1").arg(QFileInfo(m_filePath).absolutePath()));
    std::string bytes;
    try {
        bytes = array.dump();
    } catch (const nlohmann::json::exception &e) {
        return failed(QString::fromUtf8(e.what()));
    }
    // Written beside the file and renamed into place: a crash or a full disk
    // mid-write leaves the previous registry whole.
    if (const QString error = atomicWrite(m_filePath, QByteArray::fromStdString(bytes)); !error.isEmpty())
        return failed(error);
    return {};
}

nlohmann::ordered_json DeviceRegistry::deviceListResponse() const
{
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const RegisteredDevice &d : m_devices)
        devices.push_back({{"id", utf8(d.id)},
                           {"name", utf8(d.name)},
                           {"lastSeen", utf8(d.lastSeen.toUTC().toString(Qt::ISODate))},
                           {"connectionType", utf8(connectionTypeName(d.connectionType))}});
    return {{"deviceCount", deviceCount()}, {"devices", devices}};
}

} // namespace tavrolin
