#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <map>
#include <optional>
#include <variant>

#include "platform/Result.h"

namespace tavrolin {

// The cloud record store the signaling rides on: records of a type, named
// uniquely, with typed fields; queries by the few predicates signaling
// needs; and a subscription the store may use to push changes.
using FieldValue = std::variant<QString, qint64, bool, QDateTime>;

struct Record {
    QString type;
    QString name;
    std::map<QString, FieldValue> fields;

    template <typename T>
    std::optional<T> get(const QString &field) const
    {
        const auto it = fields.find(field);
        if (it == fields.end() || !std::holds_alternative<T>(it->second))
            return std::nullopt;
        return std::get<T>(it->second);
    }
};

struct RecordError {
    enum Code { NotAuthenticated = 9, PermissionFailure = 10, UnknownItem = 11, QuotaExceeded = 25, Other = 1000 };
    int code = Other;
    QString description;
    bool fromStore = true; // false: an error of ours, not of the store
};

enum class AccountStatus { Available, CouldNotDetermine, Restricted, NoAccount, TemporarilyUnavailable };

// The predicates of signaling, over SignalingMessage-like records:
// targetDeviceId == id (unless anyTarget) [AND processed == p] [AND timestamp > after]
// [AND timestamp < before].
struct RecordQuery {
    QString type;
    QString targetDeviceId;
    std::optional<bool> processed;
    std::optional<QDateTime> after;
    std::optional<QDateTime> before;
    bool anyTarget = false; // every record of the type (server registrations)

    bool matches(const Record &record) const;
};

// One result of a query: the record, or why the stored record is unusable.
struct QueryResult {
    QString name;
    std::optional<Record> record;
    QString error;
};

struct RecordSubscription {
    QString id;
    QString recordType;
    QString targetDeviceId;
};

template <typename T>
using StoreResult = Result<T, RecordError>;

class RecordStore : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QCoro::Task<StoreResult<AccountStatus>> accountStatus() = 0;
    virtual QCoro::Task<StoreResult<Record>> fetch(QString type, QString name) = 0;
    virtual QCoro::Task<std::optional<RecordError>> save(Record record) = 0;
    virtual QCoro::Task<std::optional<RecordError>> remove(QString type, QString name) = 0;
    virtual QCoro::Task<StoreResult<QList<QueryResult>>> query(RecordQuery query) = 0;
    virtual QCoro::Task<StoreResult<QString>> saveSubscription(RecordSubscription subscription) = 0;
    virtual QCoro::Task<std::optional<RecordError>> deleteSubscription(QString id) = 0;

Q_SIGNALS:
    // Something changed in the store (a shortcut only; pollers keep polling).
    void changed();
};

} // namespace tavrolin
