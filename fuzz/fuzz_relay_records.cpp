// The relay's records as a device (or anyone sharing the folder) writes
// them: a record that decodes names an object on the gateway and nothing
// else, its dates round-trip, and the answers written for it are JSON.
#include <QJsonDocument>
#include <cstddef>
#include <cstdint>

#include "cloud/RelayRecords.h"
#include "fuzz/FuzzCheck.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString base = QStringLiteral("http://localhost:8333");
    if (const auto metadata = RelayRecords::decodeMetadata(input)) {
        FUZZ_REQUIRE(metadata->size >= 0);
        if (const auto url = RelayRecords::objectUrl(base, metadata->key)) {
            FUZZ_REQUIRE(staysOnGateway(*url, {}));
            const QStringList segments = url->path(QUrl::FullyDecoded).split(u'/');
            FUZZ_REQUIRE(!segments.contains(QStringLiteral("..")) && !segments.contains(QStringLiteral(".")));
        }
        RelayConfirmation answer{metadata->uploadId, false, metadata->timestamp, metadata->key, QStringLiteral("refused")};
        FUZZ_REQUIRE(!QJsonDocument::fromJson(RelayRecords::encode(answer)).isNull());
    }
    if (const auto request = RelayRecords::decodeRequest(input)) {
        if (const auto url = RelayRecords::objectUrl(base, request->key))
            FUZZ_REQUIRE(staysOnGateway(*url, {}));
        DownloadResponse answer{request->requestId, true, request->timestamp, qint64(1), QStringLiteral("image/jpeg"), std::nullopt};
        FUZZ_REQUIRE(!QJsonDocument::fromJson(RelayRecords::encode(answer)).isNull());
    }
    // Any text as a date: one that reads as a date writes back as itself.
    const QDateTime date = RelayRecords::parseDate(QString::fromUtf8(input));
    if (date.isValid())
        FUZZ_REQUIRE(RelayRecords::parseDate(RelayRecords::formatDate(date)) == date);
    return 0;
}
