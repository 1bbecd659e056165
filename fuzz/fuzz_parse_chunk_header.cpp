#include <cstddef>
#include <cstdint>

#include "tunnel/HTTPTunnelProtocol.h"

using namespace tavrolin::HTTPTunnelProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto header = parseChunkHeader(input)) {
        const auto payload = extractChunkPayload(input);
        // A header that parses encodes to one that parses back the same.
        const auto encoded = encodeMessage(MessageType::Chunk, encodeChunkHeader(*header), payload.value_or(QByteArray()));
        if (!encoded || parseChunkHeader(*encoded) != header)
            __builtin_trap();
    }
    return 0;
}
