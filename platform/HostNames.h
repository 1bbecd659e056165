#pragma once

#include <QString>

namespace tavrolin::HostNames {

// The name people gave this computer: the pretty host name of
// /etc/machine-info (what desktop settings call the device name), else the
// host name. Empty when the system has neither.
QString userVisibleName();

// PRETTY_HOSTNAME from a machine-info file (shell-style KEY=VALUE lines,
// values optionally quoted). Empty when absent or unreadable.
QString prettyHostName(const QString &machineInfoPath);

} // namespace tavrolin::HostNames
