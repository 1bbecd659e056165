#include "tests/support/LogCapture.h"

#include <QMutex>

#include "platform/DiagnosticLog.h"

namespace tavrolin::test {

struct LogCapture::State {
    mutable QMutex mutex;
    QStringList lines;
};

LogCapture::LogCapture()
    : m_state(std::make_shared<State>())
{
    setDiagnosticSink([state = m_state](const QString &line) {
        QMutexLocker lock(&state->mutex);
        state->lines.append(line);
    });
}

LogCapture::~LogCapture() { setDiagnosticSink({}); }

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->lines;
}

bool LogCapture::contains(const QString &text) const { return lines().contains(text); }

int LogCapture::countStartingWith(const QString &prefix) const
{
    int n = 0;
    for (const QString &line : lines())
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}

QString LogCapture::joined() const { return lines().join('\n'); }

} // namespace tavrolin::test
