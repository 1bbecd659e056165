#pragma once

#include <QDir>
#include <QSettings>

#include "server/ServerManager.h"
#include "tests/support/TestSupport.h"

namespace tavrolin::test {

// A manager in a sandbox with a stand-in engine script and a shortened
// second, recording its status texts and engine states.
struct Harness {
    Sandbox sandbox;
    EnginePorts ports = freeEnginePorts();
    std::unique_ptr<ServerManager> manager;
    QStringList statuses;
    QList<SeaweedFSStatus> engineStates;
    LogCapture log;

    // tweak adjusts the config before the manager is made.
    explicit Harness(const QString &engineScriptBody, bool withStorage = true,
                     const std::function<void(ServerManagerConfig &)> &tweak = {})
    {
        const QString engine = engineScriptBody.isEmpty() ? sandbox.path("missing/weed")
                                                          : writeScript(sandbox.path("weed"), engineScriptBody);
        ServerManagerConfig config = testConfig(sandbox, ports, engine);
        config.secondMs = 50;
        config.probeLimitSeconds = 3;
        config.engineStopGraceMs = 300;
        // The gateway is a FakeS3 inside the test process.
        config.verifyEnginePorts = false;
        config.verifyWritable = false;
        config.restartBaseMs = 50;
        config.restartMaxMs = 400;
        if (tweak)
            tweak(config);
        if (withStorage) {
            QSettings(config.settingsFile, QSettings::IniFormat).setValue("storagePath", sandbox.storage());
        }
        manager = std::make_unique<ServerManager>(config);
        QObject::connect(manager.get(), &ServerManager::startupStatusChanged, [this] { statuses << manager->startupStatus(); });
        QObject::connect(manager.get(), &ServerManager::seaweedStatusChanged, [this] { engineStates << manager->seaweedStatus(); });
    }
    ~Harness()
    {
        runTask(manager->shutdown(5000));
    }
};

// Runs until terminated, refusing to run with credentials in its
// environment; the gateway itself is a FakeS3 in the test.
inline const char *kIdleEngine =
    "[ -n \"$AWS_ACCESS_KEY_ID$AWS_SECRET_ACCESS_KEY$AWS_SESSION_TOKEN\" ] && { echo credentials leaked; exit 9; }\n"
    "exec sleep 300";

// A manager running the real engine in a sandbox, on free ports.
struct EngineHarness {
    Sandbox sandbox;
    EnginePorts ports = freeEnginePorts();
    std::unique_ptr<ServerManager> manager;
    QStringList statuses;
    LogCapture log;

    // The storage folder is the sandbox's unless given (a folder on a test
    // drive); tweak adjusts the config before the manager is made.
    explicit EngineHarness(QString storage = {}, const std::function<void(ServerManagerConfig &)> &tweak = {})
    {
        if (storage.isEmpty())
            storage = sandbox.storage();
        QDir().mkpath(storage);
        QSettings(sandbox.settings(), QSettings::IniFormat).setValue("storagePath", storage);
        ServerManagerConfig config = testConfig(sandbox, ports, realEnginePath());
        if (tweak)
            tweak(config);
        manager = std::make_unique<ServerManager>(config);
        QObject::connect(manager.get(), &ServerManager::startupStatusChanged, [this] { statuses << manager->startupStatus(); });
    }
    ~EngineHarness() { runTask(manager->shutdown(15000)); }

    bool start()
    {
        runTask(manager->startServer());
        return manager->isRunning();
    }
};

} // namespace tavrolin::test
