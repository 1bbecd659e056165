#include "platform/RecordStore.h"

namespace tavrolin {

bool RecordQuery::matches(const Record &record) const
{
    if (record.type != type || (!anyTarget && record.get<QString>(QStringLiteral("targetDeviceId")) != targetDeviceId))
        return false;
    if (processed && record.get<bool>(QStringLiteral("processed")) != processed)
        return false;
    const auto timestamp = record.get<QDateTime>(QStringLiteral("timestamp"));
    if ((after || before) && !timestamp)
        return false;
    if (after && !(*timestamp > *after))
        return false;
    if (before && !(*timestamp < *before))
        return false;
    return true;
}

} // namespace tavrolin
