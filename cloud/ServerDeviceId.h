#pragma once

#include <QString>

class QSettings;

namespace tavrolin {

// The identifier this server goes by in the cloud: an upper-case UUID kept
// in the user's settings under "CloudKitDeviceId", made on first use.
// Relay folders and cloud records are named after it, so a stored id that
// is not a plain file name is replaced by a new one.
QString serverDeviceId(QSettings &settings);

} // namespace tavrolin
