#pragma once

#include <QHash>
#include <QSet>

#include "platform/CloudDrive.h"
#include "platform/JsonBounds.h"
#include "platform/RecordStore.h"

namespace tavrolin {

// The record store as files in the user's synced cloud folder:
// <cloud folder>/records/<container>/<recordType>/to-<targetDeviceId>/<recordName>.json
// for records addressed to a device, so that a device lists only what is
// addressed to it, and <recordType>/<recordName>.json for the rest and for
// devices that write there (the first layout, still read); each written
// under a temporary name and renamed. Another device that syncs
// the folder signals by writing and reading these files (see
// docs/record-store.md). What others wrote is input: names, sizes and
// field types are checked, and nothing is read or written outside the
// container folder.
class FolderRecordStore : public RecordStore {
    Q_OBJECT
public:
    // What it reads of a record file: the file (only this much of it is
    // read), one string field, the fields of a record and their names (our
    // records have a dozen, named in words), and the nesting of record,
    // fields, field.
    static constexpr qint64 kMaxRecordBytes = 256 * 1024;
    static constexpr qsizetype kMaxStringBytes = 64 * 1024;
    static constexpr qsizetype kMaxFields = 64;
    static constexpr qsizetype kMaxFieldNameBytes = 64;
    static constexpr JsonBounds kBounds{kMaxRecordBytes, 3};

    explicit FolderRecordStore(CloudDrive &drive, QString containerIdentifier = QStringLiteral("iCloud.com.tavro.shared"),
                               QObject *parent = nullptr);

    std::optional<QString> containerFolder() const;
    // Change notifications for one record type (a shortcut for pollers).
    void watchType(const QString &type);

    QCoro::Task<StoreResult<AccountStatus>> accountStatus() override;
    QCoro::Task<StoreResult<Record>> fetch(QString type, QString name) override;
    QCoro::Task<std::optional<RecordError>> save(Record record) override;
    QCoro::Task<std::optional<RecordError>> remove(QString type, QString name) override;
    QCoro::Task<StoreResult<QList<QueryResult>>> query(RecordQuery query) override;
    QCoro::Task<StoreResult<QString>> saveSubscription(RecordSubscription subscription) override;
    QCoro::Task<std::optional<RecordError>> deleteSubscription(QString id) override;

    // The file format, for the store and its tests.
    static QByteArray encode(const Record &record);
    static Result<Record> decode(const QByteArray &bytes, const QString &type, const QString &name);
    static bool isValidName(const QString &name);

private:
    std::optional<QString> recordPath(const QString &type, const QString &name) const;
    std::optional<QString> typeFolder(const QString &type) const;
    // Where a record of that name is, if anywhere.
    std::optional<QString> findRecord(const QString &type, const QString &name);
    void readFolder(const QString &folder, const RecordQuery &q, bool flat, QList<QueryResult> &results);

    // A file of the first layout seen before and addressed to another
    // device is not read again: polling then costs next to nothing per
    // record addressed to others.
    struct SeenFile {
        QString target;
    };

    CloudDrive &m_drive;
    QString m_container;
    QHash<QString, SeenFile> m_seenFlat;   // by file path
    QSet<QString> m_flatWriters;           // devices that write the first layout
    QHash<QString, QString> m_paths;       // record name -> file, as last seen
};

} // namespace tavrolin
