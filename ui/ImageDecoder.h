#pragma once

#include <QByteArray>
#include <QImage>
#include <optional>

namespace tavrolin::ImageDecoder {

// HEIC/HEIF (phones' default) through libheif, everything else through
// Qt's image readers. Nothing when the bytes are not an image.
std::optional<QImage> decode(const QByteArray &bytes);

bool looksLikeHeif(const QByteArray &bytes);

} // namespace tavrolin::ImageDecoder
