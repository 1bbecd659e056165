#pragma once

#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>
#include <memory>

class QAction;
class QMenu;
class QQmlApplicationEngine;
class QSystemTrayIcon;
class QWindow;

namespace tavrolin {

class CloudKitService;
class FullImageProvider;
class MenuBarModel;
class PhotoDetailModel;
class PhotoExportService;
class PhotoGridModel;
class PhotoListService;
class ServerManager;

// The desktop application: the tray icon with its popup, the photo
// browser window, around the same server as the headless mode.
class GuiApp : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("the application itself")
public:
    GuiApp(ServerManager &manager, CloudKitService *cloud = nullptr, QObject *parent = nullptr);
    ~GuiApp() override;

    // Shows the tray icon (or, without a tray, the popup as a window) and
    // starts the server.
    bool start();

    Q_INVOKABLE void openBrowser();
    Q_INVOKABLE void chooseStorageFolder();
    Q_INVOKABLE void chooseCloudFolder();
    Q_INVOKABLE void quit();
    void togglePopup();

private:
    void buildTrayMenu();
    void updateTray();

    ServerManager &m_manager;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    std::unique_ptr<MenuBarModel> m_menuBar;
    std::unique_ptr<PhotoGridModel> m_grid;
    std::unique_ptr<PhotoDetailModel> m_detail;
    std::unique_ptr<PhotoExportService> m_exporter;
    FullImageProvider *m_fullImages = nullptr; // owned by the engine
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QMenu> m_trayMenu;
    QAction *m_startStop = nullptr;
    QAction *m_browse = nullptr;
    QString m_trayState;
    bool m_choosingFolder = false;
    QPointer<QWindow> m_popup;
    QPointer<QWindow> m_browser;
    bool m_quitting = false;
};

} // namespace tavrolin
