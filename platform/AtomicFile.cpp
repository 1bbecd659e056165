#include "platform/AtomicFile.h"

#include <QFile>
#include <QFileInfo>

#include "platform/DiagnosticLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrolin {

namespace {

QString systemError(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)));
}

// Unix mode bits for Qt's permission flags (owner, group, others).
mode_t modeOf(QFileDevice::Permissions permissions)
{
    mode_t mode = 0;
    if (permissions & QFileDevice::ReadOwner) mode |= S_IRUSR;
    if (permissions & QFileDevice::WriteOwner) mode |= S_IWUSR;
    if (permissions & QFileDevice::ExeOwner) mode |= S_IXUSR;
    if (permissions & QFileDevice::ReadGroup) mode |= S_IRGRP;
    if (permissions & QFileDevice::WriteGroup) mode |= S_IWGRP;
    if (permissions & QFileDevice::ExeGroup) mode |= S_IXGRP;
    if (permissions & QFileDevice::ReadOther) mode |= S_IROTH;
    if (permissions & QFileDevice::WriteOther) mode |= S_IWOTH;
    if (permissions & QFileDevice::ExeOther) mode |= S_IXOTH;
    return mode;
}

// The process's umask, read without changing it (umask(2) cannot only read,
// and setting it for a moment would race with other threads).
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask);
            }
        }
    }
    return 022;
}

} // namespace

QString atomicWrite(const QString &path, const QByteArray &bytes, std::optional<QFileDevice::Permissions> permissions)
{
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    QByteArray temporary = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()) + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return systemError(QStringLiteral("Cannot create a file in %1").arg(info.absolutePath()), errno);
    // Every step is checked; the first failure removes the temporary file and
    // leaves whatever was at path as it was.
    const auto fail = [&](const QString &what) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        return systemError(what, error);
    };
    // An existing file keeps its permissions unless others are asked for;
    // a new one gets the usual ones (mkostemp makes it owner-only).
    mode_t mode = 0666 & ~currentUmask();
    struct stat existing {};
    if (permissions)
        mode = modeOf(*permissions);
    else if (::stat(QFile::encodeName(path).constData(), &existing) == 0)
        mode = existing.st_mode & 07777;
    // Asked-for permissions are a must; the usual ones are a nicety some
    // file systems (FAT, some FUSE mounts) refuse.
    if (::fchmod(fd, mode) != 0 && permissions)
        return fail(QStringLiteral("Cannot set the permissions of %1").arg(path));
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return fail(QStringLiteral("Cannot write %1").arg(path));
        }
        data += written;
        left -= written;
    }
    if (::fsync(fd) != 0)
        return fail(QStringLiteral("Cannot write %1").arg(path));
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return systemError(QStringLiteral("Cannot write %1").arg(path), error);
    }
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return systemError(QStringLiteral("Cannot replace %1").arg(path), error);
    }
    // The rename lasts only once the folder is on the disk too. The new file
    // is in place by now, so a folder that cannot be synced is no failure to
    // report (the caller would take back what the file already holds).
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        if (::fsync(dir) != 0 && errno != EINVAL && errno != ENOTSUP)
            diagLog(systemError(QStringLiteral("AtomicFile: Cannot sync %1").arg(info.absolutePath()), errno));
        ::close(dir);
    }
    return {};
}

} // namespace tavrolin
