#include "ui/GuiApp.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickWindow>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/TerminationSignals.h"
#include "server/ServerManager.h"
#include "ui/ImageProviders.h"
#include "ui/MenuBarModel.h"
#include "ui/PhotoDetailModel.h"
#include "ui/PhotoExportService.h"
#include "ui/PhotoGridModel.h"
#include "ui/PhotoListService.h"
#include "ui/QmlTypes.h"

namespace tavrolin {

GuiApp::GuiApp(ServerManager &manager, CloudKitService *cloud, QObject *parent) : QObject(parent), m_manager(manager)
{
    PhotoListService &photos = PhotoListService::shared();
    m_menuBar = std::make_unique<MenuBarModel>(manager, QCoreApplication::applicationFilePath());
    m_menuBar->setCloudService(cloud);
    m_grid = std::make_unique<PhotoGridModel>(photos);
    m_detail = std::make_unique<PhotoDetailModel>(photos);
    m_exporter = std::make_unique<PhotoExportService>(photos);
    m_exporter->chooseFolder = [this] {
        const QString start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        return QFileDialog::getExistingDirectory(nullptr, QStringLiteral("Save the selected photos to"), start,
                                                 QFileDialog::ShowDirsOnly);
    };
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_engine->addImageProvider(QStringLiteral("thumbnail"), new ThumbnailImageProvider(photos));
    m_fullImages = new FullImageProvider();
    m_engine->addImageProvider(QStringLiteral("full"), m_fullImages);
    m_engine->addImageProvider(QStringLiteral("icon"), new IconImageProvider());
    m_detail->imageSink = [this](const QImage &image) { m_fullImages->setImage(image); };
    prepareQmlEngine(*m_engine);
}

GuiApp::~GuiApp()
{
    delete m_browser;
    delete m_popup;
}

bool GuiApp::start()
{
    m_engine->setInitialProperties({{QStringLiteral("menuBar"), QVariant::fromValue(m_menuBar.get())},
                                    {QStringLiteral("app"), QVariant::fromValue(this)}});
    m_engine->load(QUrl(QString::fromLatin1(kMenuBarWindowQml)));
    if (m_engine->rootObjects().isEmpty())
        return false;
    m_popup = qobject_cast<QWindow *>(m_engine->rootObjects().constFirst());
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tavrolin.svg")));

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_popup->setFlags(Qt::Popup | Qt::FramelessWindowHint);
        m_tray = std::make_unique<QSystemTrayIcon>();
        connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                togglePopup();
        });
        buildTrayMenu();
        connect(m_menuBar.get(), &MenuBarModel::changed, this, &GuiApp::updateTray);
        updateTray();
        m_tray->show();
        // Like a menu: clicking elsewhere puts it away, so it never stays
        // over the window the user went back to.
        connect(m_popup, &QWindow::activeChanged, this, [this] {
            if (m_popup && m_popup->isVisible() && !m_popup->isActive() && !m_choosingFolder)
                m_popup->hide();
        });
        // A first run has nothing to show but the question it must ask;
        // asked once the panel has placed the icon (before that its place
        // reads as the screen's corner).
        if (!m_menuBar->hasStorage())
            QTimer::singleShot(1000, this, [this] {
                if (m_popup && !m_popup->isVisible())
                    togglePopup();
            });
    } else {
        // No tray on this desktop: the popup is the application's window.
        m_popup->show();
    }
    connect(new TerminationSignals(this), &TerminationSignals::received, this, &GuiApp::quit);
    m_manager.startServer();
    return true;
}

void GuiApp::buildTrayMenu()
{
    m_trayMenu = std::make_unique<QMenu>();
    m_trayMenu->addAction(QStringLiteral("Open Tavrolin"), this, &GuiApp::togglePopup);
    m_startStop = m_trayMenu->addAction(QStringLiteral("Start"), this, [this] {
        if (m_menuBar->isRunning())
            m_menuBar->stop();
        else
            m_menuBar->start();
    });
    m_browse = m_trayMenu->addAction(QStringLiteral("Browse Photos"), this, &GuiApp::openBrowser);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(QStringLiteral("Quit"), this, &GuiApp::quit);
    m_tray->setContextMenu(m_trayMenu.get());
}

void GuiApp::updateTray()
{
    if (!m_tray)
        return;
    const QString state = m_menuBar->trayState();
    if (state != m_trayState) {
        m_trayState = state;
        QIcon icon;
        for (int size : {16, 22, 24, 32, 48, 64})
            icon.addPixmap(QPixmap::fromImage(MenuBarModel::trayImage(state, size)));
        m_tray->setIcon(icon);
    }
    m_tray->setToolTip(m_menuBar->toolTip());
    m_startStop->setText(m_menuBar->isRunning() ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_startStop->setEnabled(!m_menuBar->isStarting() && (m_menuBar->isRunning() || m_menuBar->hasStorage()));
    m_browse->setEnabled(m_menuBar->isRunning());
}

void GuiApp::togglePopup()
{
    if (!m_popup)
        return;
    if (m_popup->isVisible()) {
        m_popup->hide();
        return;
    }
    // Beside the tray icon, kept on the screen it is on.
    const QRect icon = m_tray ? m_tray->geometry() : QRect();
    QScreen *screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    QPoint at = icon.isValid() ? QPoint(icon.center().x() - m_popup->width() / 2, icon.bottom() + 4)
                               : QPoint(area.right() - m_popup->width() - 8, area.top() + 8);
    if (at.y() + m_popup->height() > area.bottom())
        at.setY(icon.top() - m_popup->height() - 4);
    at.setX(qBound(area.left(), at.x(), area.right() - m_popup->width()));
    at.setY(qBound(area.top(), at.y(), area.bottom() - m_popup->height()));
    m_popup->setPosition(at);
    m_popup->show();
    m_popup->requestActivate();
}

void GuiApp::openBrowser()
{
    if (m_browser) {
        m_browser->show();
        m_browser->raise();
        m_browser->requestActivate();
        return;
    }
    QQmlComponent component(m_engine.get(), QUrl(QString::fromLatin1(kBrowseWindowQml)));
    m_browser = qobject_cast<QWindow *>(component.createWithInitialProperties(
        {{QStringLiteral("grid"), QVariant::fromValue(m_grid.get())},
         {QStringLiteral("detail"), QVariant::fromValue(m_detail.get())},
         {QStringLiteral("exporter"), QVariant::fromValue(m_exporter.get())}}));
    if (!m_browser)
        return;
    m_browser->setTransientParent(nullptr);
    m_browser->show();
    m_browser->requestActivate();
    PhotoListService::shared().fetchPhotos();
    connect(m_browser, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible)
            PhotoListService::shared().fetchPhotos();
    });
}

void GuiApp::chooseStorageFolder()
{
    if (m_popup && (m_popup->flags() & Qt::Popup))
        m_popup->hide();
    m_choosingFolder = true;
    const QString folder = QFileDialog::getExistingDirectory(nullptr, QStringLiteral("Select a folder to store your photos"),
                                                             m_menuBar->storagePath(), QFileDialog::ShowDirsOnly);
    m_choosingFolder = false;
    if (!folder.isEmpty()) {
        m_menuBar->chooseStorageFolder(folder);
        // Back to the popup: it says what became of the choice.
        if (m_popup && !m_popup->isVisible())
            togglePopup();
    }
}

void GuiApp::chooseCloudFolder()
{
    if (m_popup && (m_popup->flags() & Qt::Popup))
        m_popup->hide();
    m_choosingFolder = true;
    const QString folder = QFileDialog::getExistingDirectory(
        nullptr, QStringLiteral("Select the folder your sync tool shares with your other devices"),
        m_menuBar->cloudFolder().isEmpty() ? QDir::homePath() : m_menuBar->cloudFolder(), QFileDialog::ShowDirsOnly);
    m_choosingFolder = false;
    if (!folder.isEmpty()) {
        m_menuBar->chooseCloudFolder(folder);
        if (m_popup && !m_popup->isVisible())
            togglePopup();
    }
}

void GuiApp::quit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    if (m_tray)
        m_tray->hide();
    if (m_popup)
        m_popup->hide();
    if (m_browser)
        m_browser->hide();
    // The stop sequence runs to its end, then the application goes.
    [](GuiApp *self) -> QCoro::Task<> {
        co_await self->m_manager.shutdown(15000);
        QCoreApplication::quit();
    }(this);
}

} // namespace tavrolin
