// Feeds one assembler a sequence of messages, each preceded by a 2-byte
// little-endian length; a low file threshold sends bodies through files,
// and every message moves the clock on so that the sweep runs too.
#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tunnel/ChunkAssembler.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir temp;
    QDateTime now = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    ChunkAssemblerLimits limits;
    limits.fileThreshold = 1000;
    limits.maxMemoryBytes = 1 << 20;
    {
        ChunkAssembler assembler(temp.path(), [&] { return now; }, limits);
        std::size_t at = 0;
        while (at + 2 <= size) {
            const std::size_t length = std::size_t(data[at]) | (std::size_t(data[at + 1]) << 8);
            at += 2;
            const std::size_t take = std::min(length, size - at);
            now = now.addSecs(data[at - 1] % 16);
            assembler.processIncoming(QByteArrayView(reinterpret_cast<const char *>(data + at), qsizetype(take)));
            at += take;
        }
    }
    // Nothing may be left behind once the session is gone.
    if (!QDir(temp.path()).entryList(QDir::Files | QDir::Hidden).isEmpty())
        std::abort();
    return 0;
}
