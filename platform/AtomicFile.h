#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <optional>

namespace tavrolin {

// Writes the bytes to path under a temporary name in the same folder, syncs
// them and renames the file into place: a reader, another device's sync
// tool or a crash sees the old file or the new one, never half of one.
// Permissions, when given, are set before the first byte is written (the
// rename keeps them). Returns the reason it failed, empty on success; the
// old file is then untouched.
QString atomicWrite(const QString &path, const QByteArray &bytes,
                    std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace tavrolin
