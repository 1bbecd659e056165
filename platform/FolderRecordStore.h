#pragma once

#include "platform/CloudDrive.h"
#include "platform/RecordStore.h"

namespace tavrolin {

// The record store as files in the user's synced cloud folder:
// <cloud folder>/records/<container>/<recordType>/<recordName>.json, each
// written under a temporary name and renamed. Another device that syncs
// the folder signals by writing and reading these files (see
// docs/record-store.md). What others wrote is input: names, sizes and
// field types are checked, and nothing is read or written outside the
// container folder.
class FolderRecordStore : public RecordStore {
    Q_OBJECT
public:
    static constexpr qint64 kMaxRecordBytes = 256 * 1024;
    static constexpr qsizetype kMaxStringBytes = 64 * 1024;

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

    CloudDrive &m_drive;
    QString m_container;
};

} // namespace tavrolin
