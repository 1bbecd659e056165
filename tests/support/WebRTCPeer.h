#pragma once

#include "tunnel/WebRTCClient.h"

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

namespace tavrolin::test {

// The independent peer (aiortc, tests/tunnel/webrtc_peer.py) as a child
// process, signalling over its stdin and stdout.
class AiortcPeer : public QObject {
    Q_OBJECT
public:
    AiortcPeer(const QString &mode, qint64 burstBytes, const QStringList &extraArgs = {}, QObject *parent = nullptr);
    // Another program speaking the same lines (the benchmarks' peer of our
    // own stack), which may also send its candidates.
    struct Program {
        QString path;
        QStringList args;
    };
    explicit AiortcPeer(const Program &program, QObject *parent = nullptr);
    ~AiortcPeer() override;

    void sendAnswer(const QString &sdp);
    void sendCandidate(const IceCandidate &candidate);
    void finish(); // closes its input: it hangs up and exits
    void command(const QJsonObject &object) { write(object); }

    // The first result line holding key, or an empty object.
    QJsonObject result(const QString &key) const;
    const QList<QJsonObject> &results() const { return m_results; }
    bool hasFinished() const { return !result(QStringLiteral("finished")).isEmpty(); }
    bool exited() const { return m_process.state() == QProcess::NotRunning; }
    QString errors() const { return m_stderr; }
    qint64 pid() const { return m_process.processId(); }

Q_SIGNALS:
    void offer(QString sdp);
    void candidate(tavrolin::IceCandidate candidate);

private:
    void start(const QString &program, const QStringList &args);
    void write(const QJsonObject &object);
    QProcess m_process;
    QByteArray m_pending;
    QList<QJsonObject> m_results;
    QString m_stderr;
};

// The server's side for those tests: answers the peer's offer, trickles its
// candidates, echoes every message on the channel it came on, and answers
// "burst N" with N bytes in 64 KiB messages the peer can check.
class EchoingServer : public QObject {
    Q_OBJECT
public:
    EchoingServer(AiortcPeer &peer, WebRTCConfig config, QObject *parent = nullptr);

    WebRTCClient &client() { return *m_client; }
    void destroyClient() { m_client.reset(); }
    bool burstSent() const { return m_burstSent; }
    bool burstResult() const { return m_burstResult; }
    quint64 maxBufferedSeen() const { return m_maxBuffered; }
    QStringList openedLabels() const { return m_opened; }

private:
    QCoro::Task<> answer(QString sdp);
    QCoro::Task<> addCandidate(IceCandidate candidate);
    QCoro::Task<> respond(QByteArray data, DataChannelPtr channel);

    AiortcPeer &m_peer;
    std::unique_ptr<WebRTCClient> m_client;
    bool m_burstSent = false;
    bool m_burstResult = false;
    quint64 m_maxBuffered = 0;
    QStringList m_opened;
    bool m_answered = false;
    QList<IceCandidate> m_early; // the peer's, before its offer is set
};

// A candidate as a line of the peers' signalling, and back.
QJsonObject candidateLine(const IceCandidate &candidate);
IceCandidate candidateFromLine(const QJsonObject &line);

// Message i of a burst, as the peer expects it.
QByteArray burstChunk(quint32 index, qsizetype size);

} // namespace tavrolin::test
