#pragma once

#include <QtGlobal>

namespace tavrolin {

// What one JSON reader accepts at most. Each reader names its bounds once,
// beside its declaration, and reads only through parseBoundedJson
// (platform/StrictJson.h).
struct JsonBounds {
    qsizetype maxBytes;
    int maxDepth; // arrays and objects inside one another, the outermost counting 1
};

} // namespace tavrolin
