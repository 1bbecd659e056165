#pragma once

#include <QByteArray>
#include <QImage>
#include <optional>

namespace tavrolin::ImageDecoder {

// HEIC/HEIF (phones' default) through libheif, everything else through
// Qt's image readers. Nothing when the bytes are not an image.
std::optional<QImage> decode(const QByteArray &bytes);

// An image that fits within maxSide x maxSide, made the cheap way: JPEG
// decoded at a reduced scale, a HEIF's own thumbnail where it has one that
// is large enough. Turned upright by the file's orientation. For worker
// threads: it takes tens of milliseconds for a 24-megapixel photo.
std::optional<QImage> decodeThumbnail(const QByteArray &bytes, int maxSide);

bool looksLikeHeif(const QByteArray &bytes);

} // namespace tavrolin::ImageDecoder
