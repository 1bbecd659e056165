#pragma once

#include <QDir>
#include <QSettings>
#include <QUdpSocket>
#include <functional>
#include <memory>

#include "app/ServerStack.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingPublisher.h"
#include "tests/support/TestSupport.h"

namespace tavrolin::test {

inline quint16 freeUdpPort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}

// The production wiring, every service made and connected by ServerStack,
// on free ports and in a sandbox: the real engine, the API, the QUIC
// listener, the relay and the tunnel with its signalling in a cloud folder
// of the sandbox's, DNS-SD recorded instead of published.
struct StackHarness {
    Sandbox sandbox;
    EnginePorts ports = freeEnginePorts();
    quint16 apiPort = quint16(freeEnginePorts().s3);
    quint16 quicPort = freeUdpPort();
    QString cloudFolder = sandbox.path("cloud");
    RecordingPublisher *publisher = nullptr;
    LogCapture log;
    QStringList statuses;
    std::unique_ptr<ServerStack> stack;
    ServerManager *manager = nullptr;

    // tweak adjusts the configuration before the stack is made.
    explicit StackHarness(const std::function<void(ServerStackConfig &, const Sandbox &)> &tweak = {})
    {
        QDir().mkpath(cloudFolder);
        QDir().mkpath(sandbox.storage());
        QSettings(sandbox.settings(), QSettings::IniFormat).setValue("storagePath", sandbox.storage());
        ServerStackConfig config;
        config.manager = testConfig(sandbox, ports, realEnginePath());
        config.apiPort = apiPort;
        config.quic.address = QHostAddress::LocalHost;
        config.quic.port = quicPort;
        config.tunnel.session.webrtc.iceServers = {};
        config.tunnel.session.webrtc.loopbackOnly = true;
        config.cloudFolder = [folder = cloudFolder] { return folder; };
        config.publisher = [this] {
            auto made = std::make_unique<RecordingPublisher>();
            publisher = made.get();
            return made;
        };
        if (tweak)
            tweak(config, sandbox);
        stack = std::make_unique<ServerStack>(config);
        manager = &stack->manager();
        QObject::connect(manager, &ServerManager::startupStatusChanged, [this] { statuses << manager->startupStatus(); });
    }
    ~StackHarness()
    {
        if (stack)
            runTask(stack->manager().shutdown(15000));
    }
    StackHarness(const StackHarness &) = delete;
    StackHarness &operator=(const StackHarness &) = delete;

    bool start()
    {
        runTask(manager->startServer());
        return manager->isRunning();
    }
};

} // namespace tavrolin::test
