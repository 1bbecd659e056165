#pragma once

#include <QMetaType>
#include <QSet>
#include <QString>
#include <optional>

namespace tavrolin {

// One stored photo or video as the browser shows it, decoded from its key:
// [device folder/]year/month/day/file, the device folder perhaps ending in
// "_" and four hex digits; a thumbnail sits beside its object as
// <name>_thumb.jpg.
struct PhotoItem {
    QString id;
    QString key;
    QString filename;
    QString deviceName;
    std::optional<QString> dateString; // "2024/05/17"
    bool isVideo = false;
    std::optional<QString> thumbnailKey;
    QString etag;    // as listed; names this version of the object
    qint64 size = -1; // bytes as listed, -1 if not known

    bool operator==(const PhotoItem &) const = default;

    static constexpr const char *kThumbnailSuffix = "_thumb.jpg";
    // allKeys is every key of the listing, thumbnails included: looked up,
    // never scanned.
    static PhotoItem fromKey(const QString &key, const QSet<QString> &allKeys);
};

} // namespace tavrolin

Q_DECLARE_METATYPE(tavrolin::PhotoItem)
