#pragma once

#include <QCoroTimer>
#include <QList>
#include <chrono>
#include <map>

#include "platform/RecordStore.h"

namespace tavrolin::test {

// The record store in memory, with failures a test can inject.
class MemoryRecordStore : public RecordStore {
public:
    StoreResult<AccountStatus> status = AccountStatus::Available;
    std::optional<RecordError> saveError;
    std::optional<RecordError> queryError;
    std::map<QString, Record> records; // by name
    std::map<QString, QString> unreadable; // name -> error, returned by queries
    QList<RecordQuery> queries;
    QStringList removed;
    QList<RecordSubscription> subscriptions;
    std::chrono::milliseconds saveDelay{0}; // a slow store: saves land after this

    QCoro::Task<StoreResult<AccountStatus>> accountStatus() override { co_return status; }
    QCoro::Task<StoreResult<Record>> fetch(QString type, QString name) override
    {
        const auto it = records.find(name);
        if (it == records.end() || it->second.type != type)
            co_return Unexpected{RecordError{RecordError::UnknownItem, QStringLiteral("Record not found")}};
        co_return it->second;
    }
    QCoro::Task<std::optional<RecordError>> save(Record record) override
    {
        if (saveDelay.count() > 0)
            co_await QCoro::sleepFor(saveDelay);
        if (saveError)
            co_return saveError;
        records[record.name] = record;
        co_return std::nullopt;
    }
    QCoro::Task<std::optional<RecordError>> remove(QString, QString name) override
    {
        removed.append(name);
        records.erase(name);
        unreadable.erase(name);
        co_return std::nullopt;
    }
    QCoro::Task<StoreResult<QList<QueryResult>>> query(RecordQuery q) override
    {
        queries.append(q);
        if (queryError)
            co_return Unexpected{*queryError};
        QList<QueryResult> out;
        for (const auto &[name, record] : records)
            if (q.matches(record))
                out.append({name, record, {}});
        for (const auto &[name, error] : unreadable)
            out.append({name, std::nullopt, error});
        co_return out;
    }
    QCoro::Task<StoreResult<QString>> saveSubscription(RecordSubscription s) override
    {
        subscriptions.append(s);
        co_return s.id;
    }
    QCoro::Task<std::optional<RecordError>> deleteSubscription(QString id) override
    {
        QList<RecordSubscription> kept;
        for (const RecordSubscription &s : subscriptions)
            if (s.id != id)
                kept.append(s);
        subscriptions = kept;
        co_return std::nullopt;
    }
};

} // namespace tavrolin::test
