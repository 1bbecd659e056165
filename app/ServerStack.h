#pragma once

#include <functional>
#include <memory>

#include "cloud/CloudKitService.h"
#include "cloud/ICloudRelayWatcher.h"
#include "platform/DnsSdPublisher.h"
#include "server/ServerManager.h"
#include "services/QUICReceiverService.h"
#include "services/TavroAPIServer.h"
#include "tunnel/WebRTCTunnelServer.h"

namespace tavrolin {

class ConnectionMonitor;
class DeviceRegistry;
class FolderRecordStore;
class LanAdvertiser;
class ServerIdentity;
class SyncFolderDrive;

// Everything the server runs, and where. The defaults are production's;
// tests give free ports, a sandbox's folders and short intervals.
struct ServerStackConfig {
    // The engine's ports and program, the data folder (pid file, device
    // registry, TLS identity) and the settings file; empty folders and files
    // are the application's own.
    ServerManagerConfig manager;
    quint16 apiPort = TavroAPIServer::kPort;
    QuicReceiverConfig quic;
    RelayWatcherConfig relay;
    CloudKitConfig cloud;
    TunnelServerConfig tunnel;
    int lanClientIntervalMs = 2000;
    // The synced folder shared with the user's devices; empty: the one chosen
    // in the settings.
    std::function<QString()> cloudFolder;
    // DNS-SD publication; empty: the machine's Avahi daemon.
    std::function<std::unique_ptr<DnsSdPublisher>()> publisher;
};

// The one place that makes the server's services, wires them to each other
// and hands them to the manager in the order of the start sequence. `main`
// makes one; tests make as many as they like, side by side.
class ServerStack {
public:
    explicit ServerStack(ServerStackConfig config = {});
    ~ServerStack();
    ServerStack(const ServerStack &) = delete;
    ServerStack &operator=(const ServerStack &) = delete;

    ServerManager &manager() { return *m_manager; }
    DeviceRegistry &registry() { return *m_registry; }
    CloudKitService &cloud() { return *m_cloud; }
    TavroAPIServer &api() { return *m_api; }
    QUICReceiverService &quic() { return *m_quic; }
    WebRTCTunnelServer &tunnel() { return *m_tunnel; }
    ICloudRelayWatcher &relay() { return *m_relay; }

private:
    // Declared in the order they are made: each depends only on those above.
    std::unique_ptr<ServerManager> m_manager;
    std::unique_ptr<DeviceRegistry> m_registry;
    std::unique_ptr<DnsSdPublisher> m_publisher;
    std::unique_ptr<LanAdvertiser> m_advertiser;
    std::unique_ptr<ConnectionMonitor> m_connectionMonitor;
    std::unique_ptr<SyncFolderDrive> m_drive;
    std::unique_ptr<ICloudRelayWatcher> m_relay;
    std::unique_ptr<FolderRecordStore> m_recordStore;
    std::unique_ptr<CloudKitService> m_cloud;
    std::unique_ptr<ServerIdentity> m_identity;
    std::unique_ptr<QUICReceiverService> m_quic;
    std::unique_ptr<TavroAPIServer> m_api;
    std::unique_ptr<WebRTCTunnelServer> m_tunnel;
};

} // namespace tavrolin
