#pragma once

#include <QCoro/QCoroTask>
#include <QObject>

namespace tavrolin {

class ServerManager;

// Runs the server without a display: starts it, reports its state on
// stdout, and on SIGINT or SIGTERM stops it and waits for the engine before
// the process exits.
class HeadlessRunner : public QObject {
    Q_OBJECT
public:
    explicit HeadlessRunner(ServerManager &manager, QObject *parent = nullptr);

    // Installs the signal handlers and starts the server. Returns the exit code
    // through QCoreApplication::exit once stopped.
    void run();

private:
    QCoro::Task<> startAndReport();
    QCoro::Task<> stopAndQuit();
    void onSignal();

    ServerManager &m_manager;
    bool m_stopping = false;
};

} // namespace tavrolin
