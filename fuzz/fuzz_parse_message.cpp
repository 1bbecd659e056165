#include <cstddef>
#include <cstdint>

#include "tunnel/HTTPTunnelProtocol.h"

using namespace tavrolin::HTTPTunnelProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto parsed = parseMessage(input);
    // Whatever parses must survive a round trip through the encoder.
    if (parsed) {
        if (const auto *r = std::get_if<TunnelResponse>(&*parsed)) {
            const auto again = serializeResponse(*r);
            if (again && parseMessage(*again) != parsed)
                __builtin_trap();
        }
    }
    return 0;
}
