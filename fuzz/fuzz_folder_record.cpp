// A record file in the shared cloud folder, written by anyone who shares
// it: one that decodes encodes back to a record that decodes the same.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "platform/FolderRecordStore.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto record = FolderRecordStore::decode(bytes, QStringLiteral("SignalingMessage"), QStringLiteral("record-1"));
    if (!record)
        return 0;
    FUZZ_REQUIRE(record->type == QLatin1String("SignalingMessage") && record->name == QLatin1String("record-1"));
    for (const auto &[field, value] : record->fields) {
        FUZZ_REQUIRE(!field.isEmpty());
        if (const QString *text = std::get_if<QString>(&value))
            FUZZ_REQUIRE(text->toUtf8().size() <= FolderRecordStore::kMaxStringBytes);
    }
    const QByteArray encoded = FolderRecordStore::encode(*record);
    const auto again = FolderRecordStore::decode(encoded, record->type, record->name);
    FUZZ_REQUIRE(again && again->fields == record->fields);
    return 0;
}
