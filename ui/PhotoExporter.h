#pragma once

#include <QByteArray>
#include <QString>

#include "platform/Result.h"

namespace tavrolin::PhotoExporter {

// Saves the stored bytes under the object's own file name in the folder,
// never over an existing file: "name (1).ext", "name (2).ext"... The saved
// path, or why nothing was saved.
Result<QString> saveOriginal(const QByteArray &bytes, const QString &folder, const QString &fileName);

// The name as saved in the folder for the n-th attempt (n = 0: unchanged).
QString numberedName(const QString &fileName, int n);

} // namespace tavrolin::PhotoExporter
