#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <chrono>

namespace tavrolin {

// What flow-controlled sending needs of a data channel. Implementations
// live on the main thread; bufferedAmountDecreased is only a hint that a
// waiting send may look again.
class SendChannel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual QString label() const = 0;
    virtual bool isOpen() const = 0;
    virtual quint64 bufferedAmount() const = 0;
    // Hands one binary message to the channel, whatever is buffered.
    virtual bool sendBinary(const QByteArray &data) = 0;

Q_SIGNALS:
    void bufferedAmountDecreased();
};

struct DrainPolicy {
    quint64 maxBufferedAmount = 65536;
    std::chrono::milliseconds pollInterval{50};
    int maxPolls = 1200;
    // Wake a waiting send as soon as the channel reports a drop instead of
    // sleeping out the poll; the give-up time is the same either way.
    bool wakeOnDecrease = true;
};

// How the log lines name the channel: the default channel has its own texts.
enum class ChannelNaming { Default, ByLabel };

// Counts kept for the benchmark: how many sends had to wait, and how long.
struct DrainStats {
    qint64 sends = 0;
    qint64 waitedSends = 0;
    qint64 waitedMicroseconds = 0;
};
// Main thread only.
DrainStats &drainStats();

// Sends once the channel's buffered amount is at most the policy's maximum;
// false when the channel is not open, goes away, or does not drain in time.
QCoro::Task<bool> sendDraining(SendChannel *channel, QByteArray data, DrainPolicy policy, ChannelNaming naming);

// Each element in order through sendDraining; false at the first failure.
QCoro::Task<bool> sendChunksDraining(SendChannel *channel, QList<QByteArray> chunks, DrainPolicy policy,
                                     ChannelNaming naming);

} // namespace tavrolin
