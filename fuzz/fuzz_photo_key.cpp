// Object keys as any device or S3 client may choose them: the browser's
// reading of a key never invents a name, a date that is not one, or a
// thumbnail address or cache file that is anything but this key's.
#include <QRegularExpression>
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "ui/PhotoGridModel.h"
#include "ui/PhotoItem.h"
#include "ui/ThumbnailDiskCache.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString key = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const PhotoItem item = PhotoItem::fromKey(key, {key, key + QStringLiteral("_thumb.jpg")});
    FUZZ_REQUIRE(item.key == key);
    FUZZ_REQUIRE(item.filename == key.section(u'/', -1));
    static const QRegularExpression kDate(QStringLiteral("^\\d{4}/\\d{2}/\\d{2}$"));
    if (item.dateString)
        FUZZ_REQUIRE(kDate.match(*item.dateString).hasMatch());
    if (item.thumbnailKey)
        FUZZ_REQUIRE(item.thumbnailKey->endsWith(QLatin1String(PhotoItem::kThumbnailSuffix)));
    // The thumbnail address carries the key whole and only the key.
    const QString url = PhotoGridModel::thumbnailUrl(key);
    FUZZ_REQUIRE(url.startsWith(QLatin1String("image://thumbnail/")));
    const QString id = url.mid(18);
    FUZZ_REQUIRE(!id.contains(u'/') && !id.contains(u'?') && !id.contains(u'#'));
    FUZZ_REQUIRE(QUrl::fromPercentEncoding(id.toLatin1()) == key || !key.isValidUtf16());
    // The cache names a file, never a path.
    const QString file = ThumbnailDiskCache::fileName(key, QStringLiteral("etag"));
    FUZZ_REQUIRE(file.size() == 44 && file.endsWith(QLatin1String(".jpg")) && !file.contains(u'/'));
    return 0;
}
