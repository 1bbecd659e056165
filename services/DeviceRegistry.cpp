#include "services/DeviceRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cmath>

#include <QCoro/QCoroSignal>

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

std::optional<QList<RegisteredDevice>> decode(const QByteArray &bytes, int maxDevices, QString &error)
{
    const std::optional<Json> parsed = parseBoundedJson<Json>(bytes, DeviceRegistry::kFileBounds);
    if (!parsed || !parsed->is_array()) {
        error = !parsed ? QStringLiteral("not valid JSON within the registry's bounds") : QStringLiteral("not a JSON array");
        return std::nullopt;
    }
    const Json &json = *parsed;
    // More than the registry ever writes: not a file of ours.
    if (json.size() > size_t(maxDevices)) {
        error = QStringLiteral("more than %1 devices").arg(maxDevices);
        return std::nullopt;
    }
    QList<RegisteredDevice> devices;
    QHash<QString, qsizetype> places; // of each id in devices
    for (const Json &item : json) {
        const auto id = stringMember(item, "id"), name = stringMember(item, "name"), type = stringMember(item, "connectionType");
        const auto connection = type ? connectionTypeFromName(*type) : std::nullopt;
        // An id means the item is an object, so find() is safe.
        const auto seen = id ? item.find("lastSeen") : item.end();
        if (!id || !name || !connection || seen == item.end() || !seen->is_number() || !std::isfinite(seen->get<double>())) {
            error = QStringLiteral("entry %1 is not a device").arg(devices.size());
            return std::nullopt;
        }
        RegisteredDevice device{*id, *name, DeviceRegistry::fromReferenceSeconds(seen->get<double>()), *connection};
        // An id listed twice (an edited or merged file) is one device, as it
        // was last seen, in its first place: counting it twice would show a
        // device too many, and updates would reach only one of them.
        const auto known = places.constFind(device.id);
        if (known == places.constEnd()) {
            places.insert(device.id, devices.size());
            devices.append(std::move(device));
        } else if (device.lastSeen > devices[*known].lastSeen) {
            devices[*known] = std::move(device);
        }
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

// One registration waiting for the save that holds it.
class PendingRegistration : public QObject {
    Q_OBJECT
public:
    RegistrationResult result;
    void finish(RegistrationResult r)
    {
        result = std::move(r);
        Q_EMIT finished();
    }
Q_SIGNALS:
    void finished();
};

DeviceRegistry::DeviceRegistry(QString filePath, Clock clock, int maxDevices, int maxNewPerSource, QObject *parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_maxDevices(maxDevices)
    , m_maxNewPerSource(maxNewPerSource)
{
    load();
}

DeviceRegistry::~DeviceRegistry()
{
    // The file being written is finished; its answer, posted to this
    // object, goes with it.
    if (m_writer.joinable())
        m_writer.join();
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
    else if (file.size() > kFileBounds.maxBytes)
        error = QStringLiteral("larger than %1 bytes").arg(kFileBounds.maxBytes);
    // (What is not a plain file has no size to look at: read no more of it.)
    else if (const QByteArray bytes = file.read(kFileBounds.maxBytes + 1); bytes.size() > kFileBounds.maxBytes)
        error = QStringLiteral("larger than %1 bytes").arg(kFileBounds.maxBytes);
    else
        devices = decode(bytes, m_maxDevices, error);
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

QCoro::Task<RegistrationResult> DeviceRegistry::registerDevice(QString id, QString name, ConnectionType type, QString source)
{
    if (id.size() > kMaxTextLength || name.size() > kMaxTextLength)
        co_return RegistrationResult{deviceCount(), QStringLiteral("deviceId and deviceName may have at most %1 characters").arg(kMaxTextLength)};
    auto pending = std::make_shared<PendingRegistration>();
    m_queued.push_back({std::move(id), std::move(name), type, m_clock().toUTC(), std::move(source), pending});
    scheduleSave();
    co_await qCoro(pending.get(), &PendingRegistration::finished);
    co_return pending->result;
}

void DeviceRegistry::scheduleSave()
{
    if (m_saveScheduled || m_saving)
        return;
    // Whatever else arrives before the event loop comes back joins this save.
    m_saveScheduled = true;
    QMetaObject::invokeMethod(this, &DeviceRegistry::saveBatch, Qt::QueuedConnection);
}

QString DeviceRegistry::apply(const Change &c, QList<RegisteredDevice> &devices, QStringList &logLines, bool &throttled)
{
    const auto existing = std::find_if(devices.begin(), devices.end(), [&](const RegisteredDevice &d) { return d.id == c.id; });
    if (existing != devices.end()) {
        existing->name = c.name;
        existing->lastSeen = c.when;
        existing->connectionType = c.type;
        logLines << QStringLiteral("Updated device '%1' (id: %2...)").arg(c.name, idPreview(c.id));
        return {};
    }
    if (devices.size() >= m_maxDevices)
        return QStringLiteral("The registry is full (%1 devices)").arg(m_maxDevices);
    std::deque<QDateTime> &recent = m_newBySource[c.source];
    while (!recent.empty() && recent.front().secsTo(c.when) >= 24 * 3600)
        recent.pop_front();
    if (int(recent.size()) >= m_maxNewPerSource) {
        throttled = true;
        return QStringLiteral("Too many new devices from this address today (%1); try again later").arg(m_maxNewPerSource);
    }
    recent.push_back(c.when);
    devices.append({c.id, c.name, c.when, c.type});
    logLines << QStringLiteral("Registered new device '%1' (id: %2...)").arg(c.name, idPreview(c.id));
    return {};
}

void DeviceRegistry::saveBatch()
{
    m_saveScheduled = false;
    if (m_saving || m_queued.empty())
        return;
    Batch batch;
    batch.devices = m_devices;
    std::vector<Change> queued = std::exchange(m_queued, {});
    std::vector<std::pair<std::shared_ptr<PendingRegistration>, RegistrationResult>> refused;
    for (Change &change : queued) {
        bool throttled = false;
        const QString why = apply(change, batch.devices, batch.logLines, throttled);
        if (why.isEmpty()) {
            batch.changes.push_back(std::move(change));
            continue;
        }
        RegistrationResult result{int(batch.devices.size()), why};
        result.throttled = throttled;
        refused.emplace_back(change.pending, result);
    }
    for (auto &[pending, result] : refused)
        pending->finish(result);
    if (batch.changes.empty())
        return;

    QByteArray bytes;
    QString error = m_saveBlocked ? QStringLiteral("the unreadable registry could not be moved aside") : serialize(batch.devices, bytes);
    if (error.isEmpty() && !QDir().mkpath(QFileInfo(m_filePath).absolutePath()))
        error = QStringLiteral("cannot create %1").arg(QFileInfo(m_filePath).absolutePath());
    m_saving = std::move(batch);
    if (!error.isEmpty()) {
        batchSaved(error);
        return;
    }
    // Written away from the event loop (a synced write of a large registry
    // takes long), beside the file and renamed into place: a crash or a full
    // disk mid-write leaves the previous registry whole.
    if (m_writer.joinable())
        m_writer.join();
    m_writer = std::thread([this, path = m_filePath, bytes = std::move(bytes)] {
        const QString failed = atomicWrite(path, bytes);
        QMetaObject::invokeMethod(this, [this, failed] { batchSaved(failed); }, Qt::QueuedConnection);
    });
}

void DeviceRegistry::batchSaved(const QString &error)
{
    if (m_writer.joinable() && m_writer.get_id() != std::this_thread::get_id())
        m_writer.join();
    Batch batch = std::move(*m_saving);
    m_saving.reset();
    RegistrationResult result;
    if (error.isEmpty()) {
        // The change counts only once it is saved: until then, and if the
        // save fails, the devices stay as the file has them.
        m_devices = std::move(batch.devices);
        for (const QString &line : std::as_const(batch.logLines))
            log(line);
        result.deviceCount = deviceCount();
    } else {
        log(QStringLiteral("Failed to save registry: ") + error);
        result = {deviceCount(), QStringLiteral("The registry could not be saved: ") + error, true};
    }
    if (!m_queued.empty())
        scheduleSave();
    if (error.isEmpty())
        Q_EMIT devicesChanged();
    for (const Change &change : batch.changes)
        change.pending->finish(result);
}

QString DeviceRegistry::serialize(const QList<RegisteredDevice> &devices, QByteArray &out)
{
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const RegisteredDevice &d : devices)
        array.push_back({{"id", utf8(d.id)},
                         {"name", utf8(d.name)},
                         {"lastSeen", toReferenceSeconds(d.lastSeen)},
                         {"connectionType", utf8(connectionTypeName(d.connectionType))}});
    try {
        out = QByteArray::fromStdString(array.dump());
    } catch (const nlohmann::json::exception &e) {
        return QString::fromUtf8(e.what());
    }
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

#include "DeviceRegistry.moc"
