#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>

#include <cstdio>
#include <malloc.h>
#include <memory>

#include "app/HeadlessRunner.h"
#include "app/ServerStack.h"
#if TAVROLIN_WITH_GUI
#include <QApplication>

#include "ui/GuiApp.h"
#endif
#include "platform/AppPaths.h"
#include "platform/SyncFolderDrive.h"
#include "platform/DiagnosticLog.h"
#include "platform/ProcessTable.h"

using namespace tavrolin;

int main(int argc, char *argv[])
{
    // Before anything opens a file or a pipe.
    ProcessTable::raiseOpenFileLimit();
    // Upload bodies pass through in blocks of a few hundred KiB, allocated
    // and freed thousands of times a second: freed blocks stay for reuse
    // (up to a bound) instead of going back to the system and being
    // faulted in afresh, which cost a tenth of the receiver's time.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    // The headless server must run where there is no display at all: it
    // never makes a GUI application, and a build without the desktop shell
    // has no other kind.
    [[maybe_unused]] bool headlessMode = TAVROLIN_ALWAYS_HEADLESS || !TAVROLIN_WITH_GUI;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--headless" || arg == "--help" || arg == "-h" || arg == "--help-all" || arg == "--version" || arg == "-v")
            headlessMode = true;
    }
#if TAVROLIN_WITH_GUI
    if (!headlessMode && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("No display found. To run the server without one, use: tavrolin --headless\n", stderr);
        return 2;
    }
    std::unique_ptr<QCoreApplication> application =
        headlessMode ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
#else
    auto application = std::make_unique<QCoreApplication>(argc, argv);
#endif
    QCoreApplication &app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("Tavrolin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVROLIN_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        TAVROLIN_ALWAYS_HEADLESS
            ? QStringLiteral("Tavrolin keeps your photos and videos in a storage folder and lets your devices back up to it.\n"
                             "This is its server without a display; it runs until SIGINT or SIGTERM.")
            : QStringLiteral("Tavrolin keeps your photos and videos in a storage folder and lets your devices back up to it.\n"
                             "Without arguments it starts the desktop application (tray icon and photo browser).\n"
                             "With --headless it runs the server without a display, until SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Run the server without a display."));
    const QCommandLineOption storage(
        QStringLiteral("storage"),
        QStringLiteral("Keep photos in DIR (remembered for later runs; default %1).").arg(AppPaths::defaultStorageFolder()),
        QStringLiteral("DIR"));
    const QCommandLineOption cloudFolder(
        QStringLiteral("cloud-folder"),
        QStringLiteral("Relay uploads and downloads through DIR, a folder your sync tool shares with your other devices "
                       "(remembered for later runs)."),
        QStringLiteral("DIR"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Write diagnostics to stderr."));
    parser.addOptions({headless, storage, cloudFolder, verbose});
    parser.process(app);
    const bool runHeadless = TAVROLIN_ALWAYS_HEADLESS || parser.isSet(headless);
    if (!runHeadless && !TAVROLIN_WITH_GUI) {
        std::fputs("This build has no desktop interface. To run the server, use: tavrolin --headless\n", stderr);
        return 2;
    }

    initDiagnosticsFromEnvironment();
    if (parser.isSet(verbose))
        setDiagnosticsEnabled(true);


    // Two servers on one machine would fight over the engine's ports, and the
    // second one's clean-up would stop the first one's engine.
    QDir().mkpath(AppPaths::appDataDir());
    QLockFile instanceLock(AppPaths::appDataDir() + QStringLiteral("/instance.lock"));
    if (!instanceLock.tryLock(0)) {
        qint64 pid = 0;
        QString host, appName;
        instanceLock.getLockInfo(&pid, &host, &appName);
        std::fprintf(stderr, "Tavrolin is already running (pid %lld)\n", pid);
        return 1;
    }

    ServerStack stack;
    ServerManager &manager = stack.manager();
    QString folder;
    if (parser.isSet(storage))
        folder = parser.value(storage);
    else if (!manager.hasStorageInfo() && runHeadless)
        folder = AppPaths::defaultStorageFolder(); // the desktop asks the user instead
    if (!folder.isEmpty()) {
        folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "Cannot create the storage folder %s\n", qPrintable(folder));
            return 1;
        }
        manager.setStoragePath(folder);
    }

    if (parser.isSet(cloudFolder)) {
        const QString dir = QDir::cleanPath(QFileInfo(parser.value(cloudFolder)).absoluteFilePath());
        if (!QFileInfo(dir).isDir()) {
            std::fprintf(stderr, "The cloud folder %s does not exist\n", qPrintable(dir));
            return 1;
        }
        AppPaths::userSettings()->setValue(QString::fromLatin1(SyncFolderDrive::kSettingKey), dir);
    }

    if (runHeadless) {
        const ServerStackConfig ports; // the stack above runs on these
        HeadlessRunner runner(manager, {ports.apiPort, ports.quic.port});
        runner.run();
        return app.exec();
    }
#if TAVROLIN_WITH_GUI
    static_cast<QApplication &>(app).setQuitOnLastWindowClosed(false);
    GuiApp gui(manager, &stack.cloud());
    if (!gui.start()) {
        std::fputs("The desktop interface could not be loaded\n", stderr);
        return 1;
    }
    return app.exec();
#else
    return 2; // refused above
#endif
}
