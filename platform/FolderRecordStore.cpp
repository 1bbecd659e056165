#include "platform/FolderRecordStore.h"

#include <QDir>

#include <dirent.h>
#include <QFile>
#include <QFileInfo>
#include <nlohmann/json.hpp>

#include "platform/AtomicFile.h"
#include "platform/StrictJson.h"
#include "platform/Validators.h"

namespace tavrolin {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

RecordError error(int code, const QString &description) { return RecordError{code, description, true}; }

QString formatTimestamp(const QDateTime &t) { return t.toUTC().toString(Qt::ISODateWithMs); }

} // namespace

FolderRecordStore::FolderRecordStore(CloudDrive &drive, QString containerIdentifier, QObject *parent)
    : RecordStore(parent), m_drive(drive), m_container(std::move(containerIdentifier))
{
    connect(&m_drive, &CloudDrive::folderChanged, this, &RecordStore::changed);
}

bool FolderRecordStore::isValidName(const QString &name) { return Validators::isPlainFileName(name); }

std::optional<QString> FolderRecordStore::containerFolder() const
{
    const auto root = m_drive.rootFolder();
    if (!root)
        return std::nullopt;
    return *root + QStringLiteral("/records/") + m_container;
}

std::optional<QString> FolderRecordStore::typeFolder(const QString &type) const
{
    const auto folder = containerFolder();
    if (!folder || !isValidName(type))
        return std::nullopt;
    return *folder + u'/' + type;
}

// In the first layout: where a record without a target is.
std::optional<QString> FolderRecordStore::recordPath(const QString &type, const QString &name) const
{
    const auto folder = typeFolder(type);
    if (!folder || !isValidName(name))
        return std::nullopt;
    return *folder + u'/' + name + QStringLiteral(".json");
}

namespace {
constexpr QLatin1StringView kTargetPrefix("to-");

// The "*.json" entries of a folder that are not folders, from the directory
// alone: no system call per file.
QStringList jsonFileNames(const QString &folder)
{
    QStringList names;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_type == DT_DIR)
            continue;
        const QByteArray name(entry->d_name);
        if (name.endsWith(".json"))
            names.append(QFile::decodeName(name));
    }
    ::closedir(dir);
    return names;
}
constexpr qsizetype kMaxRemembered = 20000;
}

std::optional<QString> FolderRecordStore::findRecord(const QString &type, const QString &name)
{
    const auto folder = typeFolder(type);
    if (!folder || !isValidName(name))
        return std::nullopt;
    const QString file = name + QStringLiteral(".json");
    if (const QString known = m_paths.value(name); !known.isEmpty() && QFileInfo(known).dir().path().startsWith(*folder)
        && (QFileInfo::exists(known) || QFileInfo(known).isSymLink()))
        return known;
    const QString flat = *folder + u'/' + file;
    if (QFileInfo::exists(flat) || QFileInfo(flat).isSymLink())
        return flat;
    const QStringList targets = QDir(*folder).entryList({kTargetPrefix + u'*'}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &target : targets) {
        const QString path = *folder + u'/' + target + u'/' + file;
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            return path;
    }
    return std::nullopt;
}

void FolderRecordStore::watchType(const QString &type)
{
    const auto folder = typeFolder(type);
    if (!folder)
        return;
    QDir().mkpath(*folder);
    m_drive.watchFolder(*folder);
}

QByteArray FolderRecordStore::encode(const Record &record)
{
    ordered_json fields = ordered_json::object();
    for (const auto &[key, value] : record.fields) {
        ordered_json field;
        if (const auto *s = std::get_if<QString>(&value))
            field = {{"type", "string"}, {"value", s->toStdString()}};
        else if (const auto *i = std::get_if<qint64>(&value))
            field = {{"type", "int64"}, {"value", *i}};
        else if (const auto *b = std::get_if<bool>(&value))
            field = {{"type", "boolean"}, {"value", *b}};
        else
            field = {{"type", "timestamp"}, {"value", formatTimestamp(std::get<QDateTime>(value)).toStdString()}};
        fields[key.toStdString()] = field;
    }
    const ordered_json document = {
        {"recordType", record.type.toStdString()}, {"recordName", record.name.toStdString()}, {"fields", fields}};
    return QByteArray::fromStdString(document.dump(2)) + '\n';
}

Result<Record> FolderRecordStore::decode(const QByteArray &bytes, const QString &type, const QString &name)
{
    if (bytes.size() > kMaxRecordBytes)
        return Unexpected{QStringLiteral("record of %1 bytes is too large").arg(bytes.size())};
    const std::optional<json> parsed = parseBoundedJson(bytes, kBounds);
    if (!parsed || !parsed->is_object())
        return Unexpected{QStringLiteral("not a JSON object within a record's bounds")};
    const json &document = *parsed;
    const auto fields = document.find("fields");
    if (fields == document.end() || !fields->is_object())
        return Unexpected{QStringLiteral("no \"fields\" object")};
    // The file's place names the record; a body claiming otherwise is not it.
    const auto recordType = document.find("recordType"), recordName = document.find("recordName");
    if (recordType != document.end() && (!recordType->is_string() || QString::fromStdString(recordType->get<std::string>()) != type))
        return Unexpected{QStringLiteral("recordType does not match its folder")};
    if (recordName != document.end() && (!recordName->is_string() || QString::fromStdString(recordName->get<std::string>()) != name))
        return Unexpected{QStringLiteral("recordName does not match its file name")};
    if (qsizetype(fields->size()) > kMaxFields)
        return Unexpected{QStringLiteral("more than %1 fields").arg(kMaxFields)};
    Record record{type, name, {}};
    for (auto it = fields->begin(); it != fields->end(); ++it) {
        const json &field = it.value();
        const QString key = QString::fromStdString(it.key());
        // A name is what callers look fields up by: one they could not ask
        // for, or carrying controls into logs, is not a field of ours.
        if (key.isEmpty() || qsizetype(it.key().size()) > kMaxFieldNameBytes || Validators::hasControlCharacters(key))
            return Unexpected{QStringLiteral("a field name is empty, too long or has control characters")};
        if (!field.is_object() || !field.contains("type") || !field["type"].is_string() || !field.contains("value"))
            return Unexpected{QStringLiteral("field \"%1\" is not {type, value}").arg(key)};
        const std::string kind = field["type"].get<std::string>();
        const json &value = field["value"];
        if (kind == "string" && value.is_string()) {
            const std::string &s = value.get_ref<const std::string &>();
            if (qsizetype(s.size()) > kMaxStringBytes)
                return Unexpected{QStringLiteral("field \"%1\" is too long").arg(key)};
            record.fields[key] = QString::fromStdString(s);
        } else if (kind == "int64" && value.is_number_integer()
                   && !(value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(INT64_MAX))) {
            record.fields[key] = qint64(value.get<std::int64_t>());
        } else if (kind == "boolean" && value.is_boolean()) {
            record.fields[key] = value.get<bool>();
        } else if (kind == "timestamp" && value.is_string()) {
            const QDateTime t = QDateTime::fromString(QString::fromStdString(value.get<std::string>()), Qt::ISODateWithMs);
            if (!t.isValid())
                return Unexpected{QStringLiteral("field \"%1\" is not a valid timestamp").arg(key)};
            record.fields[key] = t.toUTC();
        } else {
            return Unexpected{QStringLiteral("field \"%1\" has a wrong type").arg(key)};
        }
    }
    return record;
}

QCoro::Task<StoreResult<AccountStatus>> FolderRecordStore::accountStatus()
{
    const auto folder = containerFolder();
    if (!folder)
        co_return AccountStatus::NoAccount;
    if (!QDir().mkpath(*folder))
        co_return AccountStatus::TemporarilyUnavailable;
    co_return AccountStatus::Available;
}

QCoro::Task<StoreResult<Record>> FolderRecordStore::fetch(QString type, QString name)
{
    const auto path = findRecord(type, name);
    if (!path)
        co_return Unexpected{error(RecordError::UnknownItem, QStringLiteral("no such record"))};
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        co_return Unexpected{error(RecordError::UnknownItem, QStringLiteral("record %1 not found").arg(name))};
    auto decoded = decode(file.read(kMaxRecordBytes + 1), type, name);
    if (!decoded)
        co_return Unexpected{error(RecordError::Other, decoded.error())};
    co_return std::move(decoded).value();
}

QCoro::Task<std::optional<RecordError>> FolderRecordStore::save(Record record)
{
    std::optional<QString> path = recordPath(record.type, record.name);
    if (!path)
        co_return error(RecordError::Other, QStringLiteral("invalid record name"));
    // Addressed to a device: into its own folder, unless it is a device
    // seen writing the first layout, which reads only that.
    const auto target = record.get<QString>(QStringLiteral("targetDeviceId"));
    if (target && isValidName(kTargetPrefix + *target) && !m_flatWriters.contains(*target))
        path = *typeFolder(record.type) + u'/' + kTargetPrefix + *target + u'/' + record.name + QStringLiteral(".json");
    if (QFileInfo(QFileInfo(*path).path()).isSymLink() || QFileInfo(*typeFolder(record.type)).isSymLink())
        co_return error(RecordError::PermissionFailure, QStringLiteral("%1 is a link, not a folder").arg(QFileInfo(*path).path()));
    if (m_paths.size() > kMaxRemembered)
        m_paths.clear();
    m_paths.insert(record.name, *path);
    if (!QDir().mkpath(QFileInfo(*path).path()))
        co_return error(RecordError::PermissionFailure, QStringLiteral("cannot create %1").arg(QFileInfo(*path).path()));
    if (const QString failed = atomicWrite(*path, encode(record)); !failed.isEmpty())
        co_return error(RecordError::PermissionFailure, failed);
    co_return std::nullopt;
}

QCoro::Task<std::optional<RecordError>> FolderRecordStore::remove(QString type, QString name)
{
    // A dangling link is still a file to remove.
    const auto path = findRecord(type, name);
    if (!path)
        co_return error(RecordError::UnknownItem, QStringLiteral("record %1 not found").arg(name));
    m_paths.remove(name);
    m_seenFlat.remove(*path);
    QFile file(*path);
    if (!file.remove())
        co_return error(RecordError::PermissionFailure, file.errorString());
    co_return std::nullopt;
}

QCoro::Task<StoreResult<QList<QueryResult>>> FolderRecordStore::query(RecordQuery q)
{
    const auto folder = containerFolder();
    if (!folder)
        co_return Unexpected{error(RecordError::NotAuthenticated, QStringLiteral("no cloud folder"))};
    if (!isValidName(q.type))
        co_return Unexpected{error(RecordError::Other, QStringLiteral("invalid record type"))};
    const QString typeDir = *folder + u'/' + q.type;
    QList<QueryResult> results;
    if (q.anyTarget) {
        const QStringList targets = QDir(typeDir).entryList({kTargetPrefix + u'*'}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QString &target : targets)
            readFolder(typeDir + u'/' + target, q, false, results);
    } else if (isValidName(kTargetPrefix + q.targetDeviceId)) {
        const QString own = typeDir + u'/' + kTargetPrefix + q.targetDeviceId;
        // A link in place of the folder is somebody else's folder.
        if (!QFileInfo(own).isSymLink())
            readFolder(own, q, false, results);
    }
    readFolder(typeDir, q, true, results);
    co_return results;
}

void FolderRecordStore::readFolder(const QString &folder, const RecordQuery &q, bool flat, QList<QueryResult> &results)
{
    // Names only: looking at each file costs a system call, and most files
    // of the first layout are other devices' records, known by name.
    const QStringList files = jsonFileNames(folder);
    if (flat) {
        // Only what is still there is remembered.
        const QSet<QString> present(files.begin(), files.end());
        const QString prefix = folder + u'/';
        m_seenFlat.removeIf([&](const auto &entry) {
            const QString &path = entry.key();
            return path.startsWith(prefix) && !present.contains(path.mid(prefix.size()));
        });
    }
    for (const QString &fileName : files) {
        const QString name = fileName.chopped(5);
        if (name.startsWith(u'.'))
            continue; // somebody's temporary file
        const QString path = folder + u'/' + fileName;
        if (flat && !q.anyTarget) {
            // Records are written under a new name each, never rewritten.
            const auto seen = m_seenFlat.constFind(path);
            if (seen != m_seenFlat.cend() && seen->target != q.targetDeviceId)
                continue; // read before: another device's
        }
        const QFileInfo info(path);
        QueryResult result{name, std::nullopt, {}};
        if (!isValidName(name) || info.isSymLink() || !info.isFile()) {
            // (A pipe or a device would block the poll when opened.)
            result.error = QStringLiteral("not a plain record file");
        } else if (info.size() > kMaxRecordBytes) {
            result.error = QStringLiteral("record of %1 bytes is too large").arg(info.size());
        } else {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                result.error = file.errorString();
            } else {
                auto decoded = decode(file.read(kMaxRecordBytes + 1), q.type, name);
                if (!decoded) {
                    result.error = decoded.error();
                } else {
                    Record record = std::move(decoded).value();
                    const auto target = record.get<QString>(QStringLiteral("targetDeviceId"));
                    if (flat && target) {
                        m_seenFlat.insert(path, {*target});
                        // Its writer reads this layout: answers go there.
                        if (const auto sender = record.get<QString>(QStringLiteral("senderId"));
                            sender && m_flatWriters.size() < kMaxRemembered)
                            m_flatWriters.insert(*sender);
                    }
                    if (!q.matches(record))
                        continue;
                    if (m_paths.size() > kMaxRemembered)
                        m_paths.clear();
                    m_paths.insert(name, info.filePath());
                    result.record = std::move(record);
                }
            }
        }
        results.append(std::move(result));
    }
}

QCoro::Task<StoreResult<QString>> FolderRecordStore::saveSubscription(RecordSubscription subscription)
{
    const auto folder = containerFolder();
    if (!folder || !isValidName(subscription.id))
        co_return Unexpected{error(RecordError::Other, QStringLiteral("invalid subscription"))};
    const QString dir = *folder + QStringLiteral("/_subscriptions");
    QDir().mkpath(dir);
    const QByteArray bytes = QByteArray::fromStdString(
        ordered_json{{"subscriptionId", subscription.id.toStdString()},
                     {"recordType", subscription.recordType.toStdString()},
                     {"predicate", "targetDeviceId == %@"},
                     {"targetDeviceId", subscription.targetDeviceId.toStdString()},
                     {"firesOn", "create"}}
            .dump(2));
    if (const QString failed = atomicWrite(dir + u'/' + subscription.id + QStringLiteral(".json"), bytes); !failed.isEmpty())
        co_return Unexpected{error(RecordError::PermissionFailure, failed)};
    watchType(subscription.recordType);
    // And the subscriber's own folder, where new writers put its messages.
    if (const auto type = typeFolder(subscription.recordType); type && isValidName(kTargetPrefix + subscription.targetDeviceId)) {
        const QString own = *type + u'/' + kTargetPrefix + subscription.targetDeviceId;
        QDir().mkpath(own);
        m_drive.watchFolder(own);
    }
    co_return subscription.id;
}

QCoro::Task<std::optional<RecordError>> FolderRecordStore::deleteSubscription(QString id)
{
    const auto folder = containerFolder();
    if (!folder || !isValidName(id))
        co_return error(RecordError::UnknownItem, QStringLiteral("no such subscription"));
    const QString path = *folder + QStringLiteral("/_subscriptions/") + id + QStringLiteral(".json");
    if (!QFile::exists(path))
        co_return error(RecordError::UnknownItem, QStringLiteral("no such subscription"));
    QFile::remove(path);
    co_return std::nullopt;
}

} // namespace tavrolin
