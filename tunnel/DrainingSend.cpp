#include "tunnel/DrainingSend.h"

#include "platform/DiagnosticLog.h"

#include <QCoreApplication>
#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QPointer>
#include <QTimer>
#include <coroutine>

namespace tavrolin {

namespace {

QString onLabel(SendChannel *channel, ChannelNaming naming)
{
    return naming == ChannelNaming::ByLabel ? QStringLiteral(" on '%1'").arg(channel->label()) : QString();
}

// Suspends until the channel reports a drop or the time is up, whichever
// comes first. The resumption is always posted, so the coroutine never runs
// on inside the emitter's or the timer's call.
class DecreaseOrTimeout {
public:
    DecreaseOrTimeout(SendChannel *channel, std::chrono::milliseconds timeout)
        : m_channel(channel), m_timeout(timeout), m_state(std::make_shared<State>())
    {
    }
    ~DecreaseOrTimeout()
    {
        QObject::disconnect(m_state->connection);
    }

    bool await_ready() const noexcept { return m_channel.isNull(); }

    void await_suspend(std::coroutine_handle<> handle)
    {
        m_state->handle = handle;
        std::weak_ptr<State> weak = m_state;
        auto fire = [weak] {
            auto state = weak.lock();
            if (!state || state->fired)
                return;
            state->fired = true;
            QObject::disconnect(state->connection);
            state->timer.stop();
            const std::coroutine_handle<> h = state->handle;
            QMetaObject::invokeMethod(QCoreApplication::instance(), [h] { h.resume(); }, Qt::QueuedConnection);
        };
        m_state->connection = QObject::connect(m_channel.data(), &SendChannel::bufferedAmountDecreased, fire);
        m_state->timer.setSingleShot(true);
        QObject::connect(&m_state->timer, &QTimer::timeout, fire);
        m_state->timer.start(m_timeout);
    }

    void await_resume() const noexcept {}

private:
    struct State {
        std::coroutine_handle<> handle;
        QMetaObject::Connection connection;
        QTimer timer;
        bool fired = false;
    };
    QPointer<SendChannel> m_channel;
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<State> m_state;
};

void logNotOpen(SendChannel *channel, ChannelNaming naming)
{
    if (naming == ChannelNaming::ByLabel && channel)
        diagLog(QStringLiteral("WebRTC: Channel '%1' not open").arg(channel->label()));
    else
        diagLog(QStringLiteral("WebRTC: Data channel not open"));
}

} // namespace

DrainStats &drainStats()
{
    static DrainStats stats;
    return stats;
}

QCoro::Task<bool> sendDraining(SendChannel *channel, QByteArray data, DrainPolicy policy, ChannelNaming naming)
{
    QPointer<SendChannel> guard(channel);
    if (!channel || !channel->isOpen()) {
        logNotOpen(channel, naming);
        co_return false;
    }
    ++drainStats().sends;
    if (channel->bufferedAmount() <= policy.maxBufferedAmount)
        co_return channel->sendBinary(data);
    ++drainStats().waitedSends;
    QElapsedTimer waited;
    waited.start();
    const auto countWait = qScopeGuard([&] { drainStats().waitedMicroseconds += waited.nsecsElapsed() / 1000; });

    const QString label = channel->label();
    int polls = 0;
    QDeadlineTimer nextPoll(policy.pollInterval);
    for (;;) {
        if (policy.wakeOnDecrease) {
            const auto remaining = std::chrono::milliseconds(std::max<qint64>(0, nextPoll.remainingTime()));
            co_await DecreaseOrTimeout(guard.data(), remaining);
        } else {
            co_await QCoro::sleepFor(policy.pollInterval);
        }
        if (!guard || !guard->isOpen()) {
            logNotOpen(guard.data(), naming);
            co_return false;
        }
        if (guard->bufferedAmount() <= policy.maxBufferedAmount)
            co_return guard->sendBinary(data);
        if (policy.wakeOnDecrease && !nextPoll.hasExpired())
            continue; // woken early, but the channel is still full
        nextPoll = QDeadlineTimer(policy.pollInterval);
        ++polls;
        if (polls == policy.maxPolls) {
            // The texts name the fixed give-up time of the production policy.
            if (naming == ChannelNaming::ByLabel)
                diagLog(QStringLiteral("WebRTC: Buffer drain timeout on '%1' after 60050ms").arg(label));
            else
                diagLog(QStringLiteral("WebRTC: Buffer drain timeout after 60050ms"));
            co_return false;
        }
        if ((polls + 1) % 100 == 0) {
            const qint64 waited = qint64(polls + 1) * policy.pollInterval.count();
            if (naming == ChannelNaming::ByLabel)
                diagLog(QStringLiteral("WebRTC: Waiting for buffer to drain on '%1'... (%2ms)").arg(label).arg(waited));
            else
                diagLog(QStringLiteral("WebRTC: Waiting for buffer to drain... (%1ms, buffered: %2)")
                            .arg(waited)
                            .arg(guard->bufferedAmount()));
        }
    }
}

QCoro::Task<bool> sendChunksDraining(SendChannel *channel, QList<QByteArray> chunks, DrainPolicy policy,
                                     ChannelNaming naming)
{
    const qsizetype n = chunks.size();
    if (n == 0)
        co_return true;
    QPointer<SendChannel> guard(channel);
    const QString suffix = channel ? onLabel(channel, naming) : QString();
    for (qsizetype i = 0; i < n; ++i) {
        if (n > 100 && i % 1000 == 0)
            diagLog(QStringLiteral("WebRTC: Sending chunk %1/%2").arg(i + 1).arg(n) + suffix);
        QByteArray chunk = std::move(chunks[i]);
        const bool sent = co_await sendDraining(guard.data(), std::move(chunk), policy, naming);
        if (!sent) {
            diagLog(QStringLiteral("WebRTC: Failed to send chunk %1/%2").arg(i + 1).arg(n) + suffix);
            co_return false;
        }
    }
    if (n > 100)
        diagLog(QStringLiteral("WebRTC: Successfully sent all %1 chunks").arg(n) + suffix);
    co_return true;
}

} // namespace tavrolin
