#pragma once

#include "tunnel/DrainingSend.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>

#include "platform/Lifetime.h"
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace tavrolin {

struct IceCandidate {
    QString sdp;
    std::optional<QString> sdpMid;
    int sdpMLineIndex = 0;
};

struct SessionDescription {
    enum class Type { Offer, Answer };
    Type type = Type::Offer;
    QString sdp;
};

// The stack's ICE connection states, numbered as the stack numbers them.
enum class IceConnectionState { New = 0, Checking, Connected, Completed, Failed, Disconnected, Closed };

struct WebRTCConfig {
    // STUN URLs ("stun:host:port"); the default is what production uses.
    QStringList iceServers = defaultIceServers();
    // Gather host candidates on the loopback interface only (tests).
    bool loopbackOnly = false;
    DrainPolicy drain;
    // The stack hands received messages over without flow control, so a
    // peer can send faster than the main thread takes them. Past this many
    // bytes received but not yet handled the connection is closed instead
    // of holding more.
    qint64 maxUnhandledReceiveBytes = 128LL * 1024 * 1024;

    static QStringList defaultIceServers();
};

// One data channel the remote peer opened. Lives on the main thread; the
// stack's callbacks reach it from the stack's threads.
class WebRTCDataChannel final : public SendChannel {
    Q_OBJECT
public:
    ~WebRTCDataChannel() override;

    QString label() const override;
    bool isOpen() const override;
    quint64 bufferedAmount() const override;
    bool sendBinary(const QByteArray &data) override;
    void close();

    struct Impl;

private:
    friend class WebRTCClient;
    explicit WebRTCDataChannel(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

using DataChannelPtr = std::shared_ptr<WebRTCDataChannel>;

// The server's side of one remote peer connection: takes the offer, makes
// the answer, follows the channels the remote opens, and sends with flow
// control. Its signals are the events of the session that owns it, always
// emitted on the main thread; nothing is emitted once it is destroyed.
class WebRTCClient : public QObject {
    Q_OBJECT
public:
    explicit WebRTCClient(WebRTCConfig config = {}, QObject *parent = nullptr);
    ~WebRTCClient() override;

    void createPeerConnection();
    QCoro::Task<bool> setRemoteOffer(SessionDescription offer);
    QCoro::Task<std::optional<SessionDescription>> createAnswer();
    // The offering side, for the tunnel's own client: its channels are
    // made here and reported by didOpenDataChannel once open.
    DataChannelPtr createDataChannel(const QString &label);
    QCoro::Task<std::optional<SessionDescription>> createOffer();
    QCoro::Task<bool> setRemoteAnswer(SessionDescription answer);
    QCoro::Task<bool> addIceCandidate(IceCandidate candidate);
    void disconnect();

    bool hasPeerConnection() const;
    DataChannelPtr dataChannel() const;
    QHash<QString, DataChannelPtr> allDataChannels() const;
    const DrainPolicy &drainPolicy() const { return m_config.drain; }
    // Received bytes not yet handed to didReceiveData; any thread.
    qint64 unhandledReceiveBytes() const;

    QCoro::Task<bool> send(QByteArray data);
    QCoro::Task<bool> sendChunks(QList<QByteArray> chunks);
    bool sendNow(const QByteArray &data, WebRTCDataChannel *channel);
    QCoro::Task<bool> send(QByteArray data, DataChannelPtr channel);
    QCoro::Task<bool> sendChunks(QList<QByteArray> chunks, DataChannelPtr channel);

Q_SIGNALS:
    void didGenerateCandidate(tavrolin::IceCandidate candidate);
    void didChangeConnectionState(tavrolin::IceConnectionState state);
    void didOpenDataChannel(tavrolin::DataChannelPtr channel);
    void didReceiveData(QByteArray data, tavrolin::DataChannelPtr channel);

private:
    struct Stack;
    struct Observer;
    friend struct Observer;
    QCoro::Task<std::optional<SessionDescription>> createLocalDescription(bool offer);
    static bool hasNetworkBesidesLoopback();
    friend struct WebRTCDataChannel::Impl; // reports an overrun
    void receiveOverrun();
    struct Adopter; // wraps the stack's channels; kept out of this header

    WebRTCConfig m_config;
    std::unique_ptr<Stack> m_stack;
    std::unique_ptr<Observer> m_observer;
    mutable QMutex m_channelLock;
    // Under m_channelLock: the stack's threads add to them.
    DataChannelPtr m_dataChannel;
    QHash<QString, DataChannelPtr> m_allDataChannels;
    std::vector<std::weak_ptr<WebRTCDataChannel>> m_everyChannel;
    // The stack answers on its own threads, possibly after this client and
    // its threads are gone: every step resumed from such an answer checks
    // this first.
    // Which peer connection a step began on; a step resumed after the
    // connection was closed or replaced does nothing more. Steps hold no
    // reference to the connection while they wait: the last one would
    // otherwise be dropped on threads that may be gone.
    quint64 m_generation = 0;
    Lifetime m_lifetime;
};

} // namespace tavrolin

Q_DECLARE_METATYPE(tavrolin::IceCandidate)
Q_DECLARE_METATYPE(tavrolin::DataChannelPtr)
