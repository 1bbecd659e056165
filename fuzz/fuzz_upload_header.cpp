// The JSON header a device sends before each file on a QUIC upload stream:
// one that is accepted names an object on the gateway within its bucket,
// with a size and checksum that can be true.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "s3/S3ObjectUrl.h"
#include "services/QUICReceiverService.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto header = UploadHeader::parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!header)
        return 0;
    FUZZ_REQUIRE(header->size >= 0 && header->size <= UploadHeader::kMaxSize);
    FUZZ_REQUIRE(!header->key.isEmpty());
    if (header->sha256)
        FUZZ_REQUIRE(header->sha256->size() == 64);
    if (const auto url = S3ObjectUrl::objectUrl(QStringLiteral("http://localhost:8333"), header->bucket, header->key))
        FUZZ_REQUIRE(staysOnGateway(*url, QStringLiteral("/") + header->bucket + QStringLiteral("/")));
    return 0;
}
