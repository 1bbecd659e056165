#include "ui/ImageDecoder.h"

#include <libheif/heif.h>

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

std::optional<QImage> decodeHeif(const QByteArray &bytes)
{
    heif_context *context = heif_context_alloc();
    if (!context)
        return std::nullopt;
    std::optional<QImage> result;
    heif_image_handle *handle = nullptr;
    heif_image *image = nullptr;
    if (heif_context_read_from_memory_without_copy(context, bytes.constData(), size_t(bytes.size()), nullptr).code == heif_error_Ok
        && heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok
        && heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code == heif_error_Ok) {
        int stride = 0;
        const uint8_t *pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const int width = heif_image_get_width(image, heif_channel_interleaved);
        const int height = heif_image_get_height(image, heif_channel_interleaved);
        if (pixels && width > 0 && height > 0)
            result = QImage(pixels, width, height, stride, QImage::Format_RGBA8888).copy();
    }
    if (image)
        heif_image_release(image);
    if (handle)
        heif_image_handle_release(handle);
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

} // namespace tavrolin::ImageDecoder
