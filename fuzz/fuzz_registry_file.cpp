// The device registry's file as a damaged disk or another program may
// leave it: whatever loads is within the registry's bounds.
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "services/DeviceRegistry.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/devices.json");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    DeviceRegistry registry(path, {}, 50);
    FUZZ_REQUIRE(registry.deviceCount() <= 50);
    QSet<QString> ids;
    for (const RegisteredDevice &device : registry.devices()) {
        FUZZ_REQUIRE(!device.id.isEmpty() && device.id.size() <= DeviceRegistry::kMaxTextLength);
        FUZZ_REQUIRE(device.name.size() <= DeviceRegistry::kMaxTextLength);
        FUZZ_REQUIRE(!ids.contains(device.id));
        ids.insert(device.id);
    }
    // The list it answers with is JSON whatever was loaded.
    FUZZ_REQUIRE(!registry.deviceListResponse().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).empty());
    return 0;
}
