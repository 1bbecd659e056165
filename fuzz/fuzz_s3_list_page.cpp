// A ListObjectsV2 page as the gateway (or anything answering in its place)
// might send it: whatever is read stands beside its key, and every key
// names an object on the gateway, in its bucket.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "s3/S3ListParser.h"
#include "s3/S3ObjectUrl.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    S3ListParser parser(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    parser.parse();
    FUZZ_REQUIRE(parser.keys.size() == parser.etags.size() && parser.keys.size() == parser.sizes.size());
    for (qsizetype i = 0; i < parser.keys.size(); ++i) {
        FUZZ_REQUIRE(!parser.keys.at(i).isEmpty());
        FUZZ_REQUIRE(parser.sizes.at(i) >= -1);
        FUZZ_REQUIRE(!parser.etags.at(i).contains(u'"'));
        if (const auto url = S3ObjectUrl::objectUrl(QStringLiteral("http://localhost:8333"), QStringLiteral("photos"), parser.keys.at(i)))
            FUZZ_REQUIRE(staysOnGateway(*url, QStringLiteral("/photos/")));
    }
    if (parser.nextContinuationToken)
        FUZZ_REQUIRE(!parser.nextContinuationToken->isEmpty());
    return 0;
}
