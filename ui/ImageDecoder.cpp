#include "ui/ImageDecoder.h"

#include <libheif/heif.h>

#include <QBuffer>
#include <QImageReader>
#include <vector>

namespace tavrolin::ImageDecoder {

bool looksLikeHeif(const QByteArray &bytes)
{
    if (bytes.size() < 12 || bytes.mid(4, 4) != "ftyp")
        return false;
    const QByteArray brand = bytes.mid(8, 4);
    return brand == "heic" || brand == "heix" || brand == "hevc" || brand == "hevx" || brand == "heim" || brand == "heis"
           || brand == "mif1" || brand == "msf1" || brand == "avif";
}

namespace {

QImage fitWithin(const QImage &image, int maxSide)
{
    if (image.width() <= maxSide && image.height() <= maxSide)
        return image;
    return image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// minSide > 0: the largest embedded thumbnail instead of the primary image
// when its longer side reaches minSide.
std::optional<QImage> decodeHeif(const QByteArray &bytes, int minSide = 0)
{
    heif_context *context = heif_context_alloc();
    if (!context)
        return std::nullopt;
    std::optional<QImage> result;
    heif_image_handle *primary = nullptr;
    heif_image_handle *thumbnail = nullptr;
    heif_image *image = nullptr;
    if (heif_context_read_from_memory_without_copy(context, bytes.constData(), size_t(bytes.size()), nullptr).code == heif_error_Ok
        && heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok) {
        if (minSide > 0) {
            const int count = heif_image_handle_get_number_of_thumbnails(primary);
            std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
            const int listed = count > 0 ? heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count) : 0;
            int best = 0;
            for (int i = 0; i < listed; ++i) {
                heif_image_handle *candidate = nullptr;
                if (heif_image_handle_get_thumbnail(primary, ids[size_t(i)], &candidate).code != heif_error_Ok)
                    continue;
                const int side = std::max(heif_image_handle_get_width(candidate), heif_image_handle_get_height(candidate));
                if (side >= minSide && (best == 0 || side > best)) {
                    if (thumbnail)
                        heif_image_handle_release(thumbnail);
                    thumbnail = candidate;
                    best = side;
                } else {
                    heif_image_handle_release(candidate);
                }
            }
        }
    }
    heif_image_handle *chosen = thumbnail ? thumbnail : primary;
    if (chosen && heif_decode_image(chosen, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code == heif_error_Ok) {
        int stride = 0;
        const uint8_t *pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const int width = heif_image_get_width(image, heif_channel_interleaved);
        const int height = heif_image_get_height(image, heif_channel_interleaved);
        if (pixels && width > 0 && height > 0)
            result = QImage(pixels, width, height, stride, QImage::Format_RGBA8888).copy();
    }
    if (image)
        heif_image_release(image);
    if (thumbnail)
        heif_image_handle_release(thumbnail);
    if (primary)
        heif_image_handle_release(primary);
    heif_context_free(context);
    return result;
}

} // namespace

std::optional<QImage> decode(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    if (looksLikeHeif(bytes))
        return decodeHeif(bytes);
    QImage image = QImage::fromData(bytes);
    if (image.isNull())
        return std::nullopt;
    return image;
}

std::optional<QImage> decodeThumbnail(const QByteArray &bytes, int maxSide)
{
    if (bytes.isEmpty() || maxSide <= 0)
        return std::nullopt;
    if (looksLikeHeif(bytes)) {
        // An embedded thumbnail somewhat smaller than asked for still looks
        // right in a grid cell, and costs a fraction of the full decode.
        std::optional<QImage> image = decodeHeif(bytes, maxSide / 2);
        if (!image)
            return std::nullopt;
        return fitWithin(*image, maxSide);
    }
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxSide || size.height() > maxSide))
        reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return fitWithin(image, maxSide);
}

} // namespace tavrolin::ImageDecoder
