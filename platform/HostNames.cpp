#include "platform/HostNames.h"

#include <QFile>
#include <QSysInfo>

namespace tavrolin::HostNames {

namespace {

// Undoes the quoting systemd writes: "..." with backslash escapes, or '...'.
QString unquote(const QString &raw)
{
    const QString value = raw.trimmed();
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return value.mid(1, value.size() - 2);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return value;
    QString out;
    const QString inner = value.mid(1, value.size() - 2);
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner.at(i) == '\\' && i + 1 < inner.size())
            ++i;
        out.append(inner.at(i));
    }
    return out;
}

} // namespace

QString prettyHostName(const QString &machineInfoPath)
{
    QFile file(machineInfoPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    // The file is a few lines; a huge one is not a machine-info file.
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    for (const QByteArray &line : lines) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            return unquote(text.mid(16)).trimmed();
    }
    return {};
}

QString userVisibleName()
{
    const QString pretty = prettyHostName(QStringLiteral("/etc/machine-info"));
    if (!pretty.isEmpty())
        return pretty;
    return QSysInfo::machineHostName().trimmed();
}

} // namespace tavrolin::HostNames
