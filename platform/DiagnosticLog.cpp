#include "platform/DiagnosticLog.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <atomic>
#include <cstdio>

namespace tavrolin {

namespace {
std::atomic<bool> g_enabled{false};
QMutex g_mutex;
DiagnosticSink g_sink;

// Lines carry what peers send (device names, keys, paths): a line break
// would forge another line, an escape sequence would drive the terminal. Such
// characters are written out as escapes instead.
QString escapedControls(const QString &line)
{
    const auto isControl = [](char16_t c) { return (c < 0x20 && c != u'\t') || (c >= 0x7f && c <= 0x9f); };
    if (std::none_of(line.begin(), line.end(), [&](QChar c) { return isControl(c.unicode()); }))
        return line;
    QString out;
    out.reserve(line.size() + 8);
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if (!isControl(u))
            out += c;
        else if (u == u'\n')
            out += QLatin1String("\\n");
        else if (u == u'\r')
            out += QLatin1String("\\r");
        else
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
    }
    return out;
}
} // namespace

void diagLog(const QString &text)
{
    const QString line = escapedControls(text);
    QMutexLocker lock(&g_mutex);
    if (g_sink)
        g_sink(line);
    if (!g_enabled.load(std::memory_order_relaxed))
        return;
    QByteArray bytes = line.toUtf8();
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
