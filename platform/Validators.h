#pragma once

#include <QString>
#include <QStringView>

// The checks every layer makes on names that arrive from outside: a peer's
// request, a file another device synced, a record in the shared folder.
// One rule each, so that no two places disagree on what is safe.
namespace tavrolin::Validators {

// Room for the suffixes we add (".meta.json", ".response.json") within the
// 255 bytes a file name may have on Linux file systems.
constexpr qsizetype kMaxFileNameBytes = 200;

// C0 controls and DEL: never in a name, a key, a path or a header.
bool hasControlCharacters(QStringView text);

// A name fit to be one file in a folder of ours: not empty, at most
// kMaxFileNameBytes of UTF-8, not hidden, no separators, no controls.
bool isPlainFileName(const QString &name);

// An object key the gateway stores as given: not empty, no controls, no "."
// or ".." segment (the gateway would resolve them to another key).
bool isValidObjectKey(const QString &key);

} // namespace tavrolin::Validators
