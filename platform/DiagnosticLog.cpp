#include "platform/DiagnosticLog.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <atomic>
#include <cstdio>

namespace tavrolin {

namespace {
std::atomic<bool> g_enabled{false};
QMutex g_mutex;
DiagnosticSink g_sink;
} // namespace

void diagLog(const QString &line)
{
    QMutexLocker lock(&g_mutex);
    if (g_sink)
        g_sink(line);
    if (!g_enabled.load(std::memory_order_relaxed))
        return;
    QByteArray bytes = line.toUtf8();
    // One call is one line: a stray newline inside would split it.
    bytes.replace('\n', ' ');
    bytes.append('\n');
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void initDiagnosticsFromEnvironment()
{
    if (qgetenv("TAVROLIN_DEBUG") == "1")
        setDiagnosticsEnabled(true);
}

void setDiagnosticsEnabled(bool enabled) { g_enabled.store(enabled); }

bool diagnosticsEnabled() { return g_enabled.load(); }

void setDiagnosticSink(DiagnosticSink sink)
{
    QMutexLocker lock(&g_mutex);
    g_sink = std::move(sink);
}

} // namespace tavrolin
