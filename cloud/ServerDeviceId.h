#pragma once

#include <QString>

class QSettings;

namespace tavrolin {

// The identifier this server goes by in the cloud: an upper-case UUID kept
// in the user's settings under "CloudKitDeviceId", made on first use.
// Relay folders and cloud records are named after it.
QString serverDeviceId(QSettings &settings);

} // namespace tavrolin
