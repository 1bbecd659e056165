#include "server/EngineCleanup.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <csignal>

#include "platform/AtomicFile.h"
#include "platform/DiagnosticLog.h"

namespace tavrolin {

namespace {

QString normalized(const QString &path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

QString canonicalOrNormalized(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? normalized(path) : canonical;
}

} // namespace

EngineCleanup::EngineCleanup(QString enginePath, QString storagePath, QString pidFilePath)
    : m_engineCanonical(canonicalOrNormalized(enginePath))
    , m_storagePath(normalized(storagePath))
    , m_pidFilePath(std::move(pidFilePath))
{
}

bool EngineCleanup::isOurEngine(const ProcessInfo &process, const QString &storagePath) const
{
    const QString folder = storagePath.isEmpty() ? m_storagePath : normalized(storagePath);
    if (process.zombie || process.exe.isEmpty())
        return false;
    QString exe = process.exe;
    // A running engine whose file was replaced (an update) reads "(deleted)".
    exe.remove(QStringLiteral(" (deleted)"));
    if (canonicalOrNormalized(exe) != m_engineCanonical)
        return false;
    const qsizetype dir = process.args.indexOf(QStringLiteral("-dir"));
    return dir >= 0 && dir + 1 < process.args.size() && normalized(process.args.at(dir + 1)) == folder;
}

QCoro::Task<int> EngineCleanup::stopStaleEngines(int graceMs)
{
    QList<qint64> ours;
    auto stopIfOurs = [&](qint64 pid, const QString &folder) {
        if (ours.contains(pid))
            return;
        const auto info = ProcessTable::read(pid);
        if (info && isOurEngine(*info, folder) && ProcessTable::sendSignal(pid, SIGTERM))
            ours.append(pid);
    };
    if (const PidRecord recorded = readPidFile(); recorded.pid > 0 && !recorded.storagePath.isEmpty())
        stopIfOurs(recorded.pid, recorded.storagePath);
    for (qint64 pid : ProcessTable::allPids())
        stopIfOurs(pid, m_storagePath);

    for (qint64 pid : ours) {
        if (co_await waitForExit(pid, graceMs)) {
            diagLog(QStringLiteral("Stopped stale storage engine (pid %1)").arg(pid));
            continue;
        }
        ProcessTable::sendSignal(pid, SIGKILL);
        co_await waitForExit(pid, 2000);
        diagLog(QStringLiteral("Killed stale storage engine (pid %1)").arg(pid));
    }
    removePidFile();
    co_return int(ours.size());
}

void EngineCleanup::reportForeignPortHolders(const QList<quint16> &ports) const
{
    for (quint16 port : ports) {
        for (qint64 pid : ProcessTable::listenerPids(port)) {
            const auto info = ProcessTable::read(pid);
            if (!info || isOurEngine(*info))
                continue;
            reportForeignHolder(port, pid, info->name);
        }
    }
}

void EngineCleanup::reportForeignHolder(quint16 port, qint64 pid, const QString &name)
{
    diagLog(QStringLiteral("Port %1 is in use by another program (pid %2, %3)").arg(port).arg(pid).arg(name));
}

void EngineCleanup::writePidFile(qint64 pid) const
{
    QDir().mkpath(QFileInfo(m_pidFilePath).absolutePath());
    const QString failed = atomicWrite(m_pidFilePath, QByteArray::number(pid) + '\n' + m_storagePath.toUtf8() + '\n');
    if (!failed.isEmpty())
        diagLog(QStringLiteral("Failed to write engine pid file %1: %2").arg(m_pidFilePath, failed));
}

void EngineCleanup::removePidFile() const { QFile::remove(m_pidFilePath); }

EngineCleanup::PidRecord EngineCleanup::readPidFile() const
{
    QFile file(m_pidFilePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    bool ok = false;
    PidRecord record;
    record.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok)
        return {};
    record.storagePath = QString::fromUtf8(lines.value(1));
    return record;
}

QCoro::Task<bool> EngineCleanup::waitForExit(qint64 pid, int timeoutMs)
{
    using namespace std::chrono_literals;
    for (int waited = 0; ProcessTable::isAlive(pid); waited += 50) {
        if (waited >= timeoutMs)
            co_return false;
        co_await QCoro::sleepFor(50ms);
    }
    co_return true;
}

} // namespace tavrolin
