#include "ui/PhotoExporter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tavrolin::PhotoExporter {

QString numberedName(const QString &fileName, int n)
{
    if (n == 0)
        return fileName;
    const qsizetype dot = fileName.lastIndexOf(u'.');
    // A leading dot is part of the name, not an extension.
    if (dot <= 0)
        return QStringLiteral("%1 (%2)").arg(fileName).arg(n);
    return QStringLiteral("%1 (%2)%3").arg(fileName.left(dot)).arg(n).arg(fileName.mid(dot));
}

Result<NewFile> createUnique(const QString &folder, const QString &fileName)
{
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String("..") || fileName.contains(u'/')
        || fileName.contains(QChar(0)))
        return Unexpected{QStringLiteral("\"%1\" cannot be used as a file name").arg(fileName)};
    if (!QDir().mkpath(folder))
        return Unexpected{QStringLiteral("Cannot create %1").arg(folder)};
    for (int n = 0; n < 10000; ++n) {
        const QString path = QDir(folder).filePath(numberedName(fileName, n));
        // O_EXCL: the name is ours only if nobody had it, even a moment ago;
        // O_NOFOLLOW: a link planted under the name is not written through.
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return Unexpected{QStringLiteral("Cannot save %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)))};
        }
        return NewFile{path, fd};
    }
    return Unexpected{QStringLiteral("Too many copies of %1").arg(fileName)};
}

Result<QString> saveOriginal(const QByteArray &bytes, const QString &folder, const QString &fileName)
{
    const Result<NewFile> created = createUnique(folder, fileName);
    if (!created)
        return Unexpected{created.error()};
    QFile file;
    const bool ok = file.open(created->fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) && file.write(bytes) == bytes.size()
                    && file.flush();
    file.close();
    if (!ok) {
        QFile::remove(created->path);
        return Unexpected{QStringLiteral("Cannot save %1").arg(created->path)};
    }
    return created->path;
}

} // namespace tavrolin::PhotoExporter
