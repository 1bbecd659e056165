#pragma once

#include <QString>

namespace tavrolin::LoginItem {

// Starting at login on a freedesktop desktop: an autostart entry in
// $XDG_CONFIG_HOME/autostart. Failures are logged ("Failed to set launch at
// login: ..."); the caller keeps the user's choice either way.
QString autostartPath();
bool set(bool enabled, const QString &executable);

} // namespace tavrolin::LoginItem
