#pragma once

#include <QString>

namespace tavrolin {

// How the engine's storage is fitted to the drive it runs on.
//
// The engine cuts its data into volumes of a fixed size limit and hands out
// volume slots as free space divided by that limit. With its default limit
// of 30 GiB a drive with 100 GiB free has three slots, and the first
// collection to grow (the engine's own bookkeeping, a minute after start)
// takes all of them: the photos never get one. A limit of about a sixty-
// fourth of the free space leaves every collection room to grow on any drive.
namespace EngineSizing {

// Below this the engine cannot keep its own metadata, let alone a photo.
constexpr qint64 kMinFreeBytes = 64LL * 1000 * 1000;

// The engine stores objects in 4 MiB chunks; a volume holds several.
constexpr qint64 kMinVolumeSizeLimitMB = 32;
// The engine's own default, and the most its on-disk index is tuned for.
constexpr qint64 kMaxVolumeSizeLimitMB = 30000;
constexpr qint64 kTargetSlots = 64;

// The engine's live heap is mostly fixed buffers (its metadata log keeps 32
// of 8 MB) and block caches: pointer-free memory a collection barely has to
// scan. With the runtime's default of 100 the garbage may grow as large as
// all of it, which took the engine from about 380 to 480-600 MB after a bulk
// import of 200,000 objects; 25 keeps the garbage to a quarter, and the
// import was no slower.
constexpr int kEngineGcPercent = 25;

// The volume size limit, in MB, for a drive with this much free space.
qint64 volumeSizeLimitMB(qint64 freeBytes);

// "1.5 GB", "12 MB", "0 bytes": free space as the user reads it.
QString formatBytes(qint64 bytes);

// The reason a start is refused on a drive this full, or empty when there is
// room.
QString lowSpaceError(qint64 freeBytes);

} // namespace EngineSizing
} // namespace tavrolin
