#pragma once

#include <QCoro/QCoroTask>
#include <QObject>

namespace tavrolin {

class ServerManager;

// The ports devices reach besides the gateway, for the line that tells the
// user what to set their devices up with.
struct HeadlessDevicePorts {
    quint16 api = 8334;
    quint16 quic = 8444;
};

// Runs the server without a display: starts it, reports its state on
// stdout, and on SIGINT or SIGTERM stops it and waits for the engine before
// the process exits.
class HeadlessRunner : public QObject {
    Q_OBJECT
public:
    using DevicePorts = HeadlessDevicePorts;
    explicit HeadlessRunner(ServerManager &manager, DevicePorts ports = {}, QObject *parent = nullptr);

    // Installs the signal handlers and starts the server. Returns the exit code
    // through QCoreApplication::exit once stopped.
    void run();

private:
    QCoro::Task<> startAndReport();
    QCoro::Task<> stopAndQuit();
    void onSignal();

    ServerManager &m_manager;
    DevicePorts m_ports;
    bool m_stopping = false;
};

} // namespace tavrolin
