#pragma once

#include <QMetaType>
#include <QString>

namespace tavrolin {

// The chosen storage folder and the capacity of the volume that holds it.
struct StorageInfo {
    Q_GADGET
    Q_PROPERTY(QString path MEMBER path)
    Q_PROPERTY(qint64 totalBytes MEMBER totalBytes)
    Q_PROPERTY(qint64 usedBytes MEMBER usedBytes)
    Q_PROPERTY(qint64 freeBytes MEMBER freeBytes)
public:
    QString path;
    qint64 totalBytes = 0;
    qint64 usedBytes = 0;
    qint64 freeBytes = 0;

    bool operator==(const StorageInfo &) const = default;
};

// State of the engine child process.
struct SeaweedFSStatus {
    Q_GADGET
    Q_PROPERTY(Kind kind MEMBER kind)
    Q_PROPERTY(QString message MEMBER message)
public:
    enum class Kind { Stopped, Starting, Running, Failed };
    Q_ENUM(Kind)

    Kind kind = Kind::Stopped;
    QString message; // only for Failed

    static SeaweedFSStatus stopped() { return {Kind::Stopped, {}}; }
    static SeaweedFSStatus starting() { return {Kind::Starting, {}}; }
    static SeaweedFSStatus running() { return {Kind::Running, {}}; }
    static SeaweedFSStatus failed(const QString &message) { return {Kind::Failed, message}; }

    bool operator==(const SeaweedFSStatus &) const = default;
    QString toString() const;
};

// Errors of the storage supervisor, each with its fixed description.
struct ServerError {
    enum class Code { SeaweedStartupFailed, SeaweedNotFound, FailedToStart, AlreadyRunning };

    Code code;
    QString message; // carried by SeaweedStartupFailed

    static ServerError seaweedStartupFailed(const QString &message) { return {Code::SeaweedStartupFailed, message}; }
    QString description() const;
};

} // namespace tavrolin

Q_DECLARE_METATYPE(tavrolin::StorageInfo)
Q_DECLARE_METATYPE(tavrolin::SeaweedFSStatus)
