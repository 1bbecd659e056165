#include "ui/PhotoItem.h"

#include <QStringList>

namespace tavrolin {

namespace {

bool isDecimalInteger(const QString &text)
{
    bool ok = false;
    text.toLongLong(&ok, 10);
    return ok && !text.trimmed().isEmpty() && text.trimmed() == text;
}

bool endsInDeviceSuffix(const QString &component)
{
    const qsizetype underscore = component.lastIndexOf(u'_');
    if (underscore < 0)
        return false;
    const QStringView tail = QStringView(component).mid(underscore + 1);
    if (tail.size() != 4)
        return false;
    for (const QChar c : tail) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    }
    return true;
}

} // namespace

PhotoItem PhotoItem::fromKey(const QString &key, const QSet<QString> &allKeys)
{
    PhotoItem item;
    item.id = key;
    item.key = key;
    const QStringList parts = key.split(u'/');
    item.filename = parts.last();

    item.deviceName = QStringLiteral("Unknown");
    qsizetype dateStart = 1;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        if (endsInDeviceSuffix(part)) {
            item.deviceName = part;
            dateStart = i + 1;
            break;
        }
        // A key without folders is a file name, not a device.
        if (i == 0 && parts.size() > 1 && !isDecimalInteger(part))
            item.deviceName = part;
    }

    if (parts.size() >= dateStart + 3) {
        const QString &year = parts.at(dateStart), &month = parts.at(dateStart + 1), &day = parts.at(dateStart + 2);
        if (year.size() == 4 && isDecimalInteger(year) && month.size() == 2 && isDecimalInteger(month) && day.size() == 2
            && isDecimalInteger(day))
            item.dateString = year + u'/' + month + u'/' + day;
    }

    const qsizetype dot = item.filename.lastIndexOf(u'.');
    const QString extension = dot < 0 ? QString() : item.filename.mid(dot + 1).toLower();
    static const QSet<QString> videos = {"mov", "mp4", "m4v", "avi"};
    item.isVideo = videos.contains(extension);

    const QString candidate = QString(key).replace(u'.' + extension, QString::fromLatin1(kThumbnailSuffix));
    if (allKeys.contains(candidate))
        item.thumbnailKey = candidate;
    return item;
}

} // namespace tavrolin
