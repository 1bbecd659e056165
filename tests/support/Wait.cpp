#include "tests/support/Wait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace tavrolin::test {

bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    if (pred())
        return true;
    // A real event loop rather than processEvents and sleep: work that
    // hops between threads (network uploads) is not slowed by the waiting.
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    bool met = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (pred()) {
            met = true;
            loop.quit();
        } else if (timer.elapsed() > timeout.count()) {
            loop.quit();
        }
    });
    poll.start(5);
    loop.exec();
    return met;
}

} // namespace tavrolin::test
