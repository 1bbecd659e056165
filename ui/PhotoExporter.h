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

// A new, empty file for the name in the folder, never an existing one:
// "name (1).ext" and so on when taken. The path and the file open for
// writing, or why there is none.
struct NewFile {
    QString path;
    int fd = -1; // the caller's to close
};
Result<NewFile> createUnique(const QString &folder, const QString &fileName);

} // namespace tavrolin::PhotoExporter
