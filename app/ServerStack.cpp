#include "app/ServerStack.h"

#include <QSettings>

#include "platform/AppPaths.h"
#include "platform/AvahiPublisher.h"
#include "platform/FolderRecordStore.h"
#include "platform/SyncFolderDrive.h"
#include "server/ConnectionMonitor.h"
#include "server/LanAdvertiser.h"
#include "services/DeviceRegistry.h"
#include "services/ServerIdentity.h"

namespace tavrolin {

ServerStack::ServerStack(ServerStackConfig config)
{
    // One data folder and one settings file for every service that keeps
    // something: the manager's are the stack's.
    const QString dataDir = config.manager.dataDir.isEmpty() ? AppPaths::appDataDir() : config.manager.dataDir;
    const QString settingsFile = config.manager.settingsFile;
    if (config.relay.settingsFile.isEmpty())
        config.relay.settingsFile = settingsFile;
    if (config.cloud.settingsFile.isEmpty())
        config.cloud.settingsFile = settingsFile;
    if (!config.cloudFolder) {
        config.cloudFolder = [settingsFile] {
            const QString key = QString::fromLatin1(SyncFolderDrive::kSettingKey);
            if (settingsFile.isEmpty())
                return AppPaths::userSettings()->value(key).toString();
            return QSettings(settingsFile, QSettings::IniFormat).value(key).toString();
        };
    }

    m_manager = std::make_unique<ServerManager>(config.manager);
    m_registry = std::make_unique<DeviceRegistry>(dataDir + QStringLiteral("/device_registry.json"));

    m_publisher = config.publisher ? config.publisher() : std::make_unique<AvahiPublisher>();
    m_advertiser = std::make_unique<LanAdvertiser>(*m_publisher, LanAdvertiser::NameSource{}, config.apiPort,
                                                   config.quic.port);
    m_connectionMonitor = std::make_unique<ConnectionMonitor>(config.lanClientIntervalMs);
    QObject::connect(m_connectionMonitor.get(), &ConnectionMonitor::lanClientsCounted, m_manager.get(),
                     &ServerManager::setLanClients);

    m_drive = std::make_unique<SyncFolderDrive>(config.cloudFolder);
    m_relay = std::make_unique<ICloudRelayWatcher>(*m_drive, config.relay);
    m_recordStore = std::make_unique<FolderRecordStore>(*m_drive);
    m_cloud = std::make_unique<CloudKitService>(*m_recordStore, config.cloud);

    ServerIdentity::Config identity;
    identity.storeFolder = dataDir + QStringLiteral("/identity");
    m_identity = std::make_unique<ServerIdentity>(identity);
    m_quic = std::make_unique<QUICReceiverService>(*m_identity, config.quic);
    m_api = std::make_unique<TavroAPIServer>(*m_registry, config.apiPort);

    m_tunnel = std::make_unique<WebRTCTunnelServer>(*m_cloud, *m_registry, config.tunnel);
    QObject::connect(m_tunnel.get(), &WebRTCTunnelServer::connectedClientsChanged, m_manager.get(),
                     [this] { m_manager->mirrorRemoteClients(m_tunnel->connectedClients()); });

    ServerServices services;
    services.lanAdvertiser = m_advertiser.get();
    services.cloudRegistration = m_cloud.get();
    services.tunnelServer = m_tunnel.get();
    services.apiServer = m_api.get();
    services.quicReceiver = m_quic.get();
    services.relayWatcher = m_relay.get();
    services.connectionMonitor = m_connectionMonitor.get();
    m_manager->setServices(services);
}

ServerStack::~ServerStack()
{
    // The manager's sequences hold pointers to the services: it goes first.
    m_manager.reset();
}

} // namespace tavrolin
