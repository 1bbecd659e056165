#pragma once

#include <QString>
#include <functional>

namespace tavrolin {

// The one diagnostic-log function. Every component hands it one line of
// text; it writes nothing unless diagnostics were switched on, then one line
// to stderr per call.
void diagLog(const QString &line);

// Switched on by TAVROLIN_DEBUG=1 (read by initDiagnostics) or --verbose.
void initDiagnosticsFromEnvironment();
void setDiagnosticsEnabled(bool enabled);
bool diagnosticsEnabled();

// Tests observe the log through a sink; it receives every line whether or
// not stderr output is on. Pass an empty function to remove it.
using DiagnosticSink = std::function<void(const QString &)>;
void setDiagnosticSink(DiagnosticSink sink);

} // namespace tavrolin
