#include "server/EngineSizing.h"

#include <algorithm>

namespace tavrolin::EngineSizing {

qint64 volumeSizeLimitMB(qint64 freeBytes)
{
    const qint64 freeMB = std::max<qint64>(0, freeBytes) / (1024 * 1024);
    return std::clamp(freeMB / kTargetSlots, kMinVolumeSizeLimitMB, kMaxVolumeSizeLimitMB);
}

QString formatBytes(qint64 bytes)
{
    constexpr qint64 kMB = 1000 * 1000;
    constexpr qint64 kGB = 1000 * kMB;
    if (bytes <= 0)
        return QStringLiteral("0 bytes");
    if (bytes < kMB)
        return QStringLiteral("%1 KB").arg(std::max<qint64>(1, bytes / 1000));
    if (bytes < kGB)
        return QStringLiteral("%1 MB").arg(bytes / kMB);
    return QStringLiteral("%1 GB").arg(double(bytes) / double(kGB), 0, 'f', 1);
}

QString lowSpaceError(qint64 freeBytes)
{
    if (freeBytes >= kMinFreeBytes)
        return {};
    return QStringLiteral("Not enough free space on the storage drive: %1 free, at least %2 needed")
        .arg(formatBytes(freeBytes), formatBytes(kMinFreeBytes));
}

} // namespace tavrolin::EngineSizing
