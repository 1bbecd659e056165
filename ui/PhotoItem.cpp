#include "ui/PhotoItem.h"

#include <QStringList>

namespace tavrolin {

namespace {

// ASCII digits and nothing else. (A number parser would stop at a NUL and
// call "1\0x4" a number, or read "-5" as a month: found by fuzzing.)
bool isDigits(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

bool isDecimalInteger(const QString &text)
{
    return isDigits(!text.isEmpty() && (text.front() == u'-' || text.front() == u'+') ? QStringView(text).mid(1) : QStringView(text));
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
        if (year.size() == 4 && isDigits(year) && month.size() == 2 && isDigits(month) && day.size() == 2 && isDigits(day))
            item.dateString = year + u'/' + month + u'/' + day;
    }

    const qsizetype dot = item.filename.lastIndexOf(u'.');
    const QString extension = dot < 0 ? QString() : item.filename.mid(dot + 1).toLower();
    static const QSet<QString> videos = {"mov", "mp4", "m4v", "avi"};
    item.isVideo = videos.contains(extension);

    // The file's own extension only: the same letters elsewhere in the key
    // (a folder named "x.jpg") are not it, and a name without one is not
    // its own thumbnail.
    const QString stem = dot < 0 ? key : key.left(key.size() - (item.filename.size() - dot));
    const QString candidate = stem + QString::fromLatin1(kThumbnailSuffix);
    if (candidate != key && allKeys.contains(candidate))
        item.thumbnailKey = candidate;
    return item;
}

} // namespace tavrolin
