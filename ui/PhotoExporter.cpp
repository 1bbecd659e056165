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

Result<QString> saveOriginal(const QByteArray &bytes, const QString &folder, const QString &fileName)
{
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String("..") || fileName.contains(u'/')
        || fileName.contains(QChar(0)))
        return Unexpected{QStringLiteral("\"%1\" cannot be used as a file name").arg(fileName)};
    if (!QDir().mkpath(folder))
        return Unexpected{QStringLiteral("Cannot create %1").arg(folder)};
    for (int n = 0; n < 10000; ++n) {
        const QString path = QDir(folder).filePath(numberedName(fileName, n));
        // O_EXCL: the name is ours only if nobody had it, even a moment ago.
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return Unexpected{QStringLiteral("Cannot save %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)))};
        }
        QFile file;
        bool ok = file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle) && file.write(bytes) == bytes.size() && file.flush();
        file.close();
        if (!ok) {
            QFile::remove(path);
            return Unexpected{QStringLiteral("Cannot save %1").arg(path)};
        }
        return path;
    }
    return Unexpected{QStringLiteral("Too many copies of %1").arg(fileName)};
}

} // namespace tavrolin::PhotoExporter
