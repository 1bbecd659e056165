// The bytes a LAN client sends the JSON API (the listener has bounded them
// at 64 KiB before this reads them): a request that is read has a method
// and a one-token path, and its body is the bytes after the head; one that
// is not read gets a whole 400 answer.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "services/TavroAPIServer.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto request = TavroAPIServer::parseRequest(bytes);
    if (request) {
        FUZZ_REQUIRE(!request->method.isEmpty() && !request->path.isEmpty());
        // (A stray CR may stay inside them: no route has one, so such a
        // request is answered "Not found".)
        for (const char c : {' ', '\n'})
            FUZZ_REQUIRE(!request->path.contains(c) && !request->method.contains(c));
        FUZZ_REQUIRE(bytes.endsWith(request->body));
        return 0;
    }
    const QByteArray answer = TavroAPIServer::responseBytes(request.error());
    FUZZ_REQUIRE(request.error().status >= 400 && request.error().status < 500);
    FUZZ_REQUIRE(answer.startsWith("HTTP/1.1 4") && answer.contains("\r\n\r\n"));
    return 0;
}
