#include "platform/ProcessTable.h"
#include "platform/TcpTable.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace tavrolin::ProcessTable {

namespace {

QByteArray readProcFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // /proc files report size 0; read until end.
    return f.readAll();
}

QString readLink(const QString &path)
{
    char buf[4096];
    const QByteArray native = QFile::encodeName(path);
    const ssize_t n = ::readlink(native.constData(), buf, sizeof buf - 1);
    return n > 0 ? QFile::decodeName(QByteArray(buf, n)) : QString();
}

} // namespace

std::optional<ProcessInfo> read(qint64 pid)
{
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    const QByteArray stat = readProcFile(base + "/stat");
    if (stat.isEmpty())
        return std::nullopt;

    ProcessInfo info;
    info.pid = pid;
    // The state follows the last ')' (the command name may itself contain
    // spaces and parentheses).
    const qsizetype close = stat.lastIndexOf(')');
    if (close >= 0 && close + 2 < stat.size())
        info.zombie = stat.at(close + 2) == 'Z' || stat.at(close + 2) == 'X';
    info.name = QString::fromUtf8(readProcFile(base + "/comm")).trimmed();
    info.exe = readLink(base + "/exe");
    const QByteArray cmdline = readProcFile(base + "/cmdline");
    for (const QByteArray &arg : cmdline.split('\0'))
        info.args.append(QString::fromLocal8Bit(arg));
    if (!info.args.isEmpty() && info.args.last().isEmpty())
        info.args.removeLast();
    return info;
}

QList<qint64> allPids()
{
    QList<qint64> pids;
    const QStringList names = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        bool ok = false;
        const qint64 pid = name.toLongLong(&ok);
        if (ok && pid > 0)
            pids.append(pid);
    }
    return pids;
}

bool isAlive(qint64 pid)
{
    const auto info = read(pid);
    return info && !info->zombie;
}

QList<qint64> listenerPids(quint16 port)
{
    QSet<quint64> inodes;
    for (const TcpSocketEntry &entry : TcpTable::readAll()) {
        if (entry.state == TcpTable::kListen && entry.localPort == port && entry.inode != 0)
            inodes.insert(entry.inode);
    }
    if (inodes.isEmpty())
        return {};

    QList<qint64> holders;
    for (qint64 pid : allPids()) {
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            const QString target = readLink(fdDir + '/' + fd);
            if (!target.startsWith(QLatin1String("socket:[")))
                continue;
            bool ok = false;
            const quint64 inode = target.mid(8).chopped(1).toULongLong(&ok);
            if (ok && inodes.contains(inode)) {
                holders.append(pid);
                break;
            }
        }
    }
    return holders;
}

bool sendSignal(qint64 pid, int signal)
{
    if (pid <= 1 || pid == qint64(::getpid()))
        return false;
    return ::kill(pid_t(pid), signal) == 0;
}

qint64 raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : qint64(limit.rlim_cur);
}

} // namespace tavrolin::ProcessTable
