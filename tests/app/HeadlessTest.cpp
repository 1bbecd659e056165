// The application binary in headless mode, on the production ports, with
// its home, settings and data folders in a sandbox.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <csignal>

#include "platform/AvahiPublisher.h"
#include "platform/HostNames.h"
#include "platform/ProcessTable.h"
#include "tests/support/PrivateAvahi.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

const QList<int> kProductionPorts = {8333, 9333, 8080, 8888, 8334};

struct App {
    Sandbox sandbox;
    QProcess process;
    QByteArray out, err;

    QString home;

    explicit App(const QStringList &args, const QMap<QString, QString> &extraEnv = {}, const QString &sharedHome = {},
                 const QString &binary = appBinaryPath())
        : home(sharedHome.isEmpty() ? sandbox.path("home") : sharedHome)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("TAVROLIN_DEBUG");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        // Never the machine's own Avahi daemon: it would announce the test
        // server on the real network.
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandbox.path("no-bus"));
        for (auto it = extraEnv.begin(); it != extraEnv.end(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { err += process.readAllStandardError(); });
        process.start(binary, args);
        process.waitForStarted(5000);
    }
    ~App()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QString pidFile() const { return home + "/.local/share/Tavrolin/weed.pid"; }
    qint64 enginePid() const
    {
        QFile f(pidFile());
        return f.open(QIODevice::ReadOnly) ? f.readLine().trimmed().toLongLong() : 0;
    }
    bool waitForOutput(const QByteArray &text, std::chrono::milliseconds timeout)
    {
        return waitUntil([&] { return out.contains(text) || process.state() == QProcess::NotRunning; }, timeout) && out.contains(text);
    }
    bool stop(int signal, int &exitCode)
    {
        ::kill(pid_t(process.processId()), signal);
        if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, 25s))
            return false;
        exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return true;
    }
};

void expectProductionPortsFree()
{
    for (int port : kProductionPorts)
        EXPECT_TRUE(waitUntil([&] { return portIsFree(port); }, 5s)) << "port " << port << " still held";
}

} // namespace

TEST(Headless, HelpAndTheMissingDisplayMode)
{
    App help({"--help"});
    ASSERT_TRUE(help.process.waitForFinished(10000));
    EXPECT_EQ(help.process.exitCode(), 0);
    help.out += help.process.readAllStandardOutput();
    for (const char *option : {"--headless", "--storage", "--verbose"})
        EXPECT_TRUE(help.out.contains(option)) << option;

    // The desktop application needs a display, and says so without one.
    App noDisplay({}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
    ASSERT_TRUE(waitUntil([&] { return noDisplay.process.state() == QProcess::NotRunning; }, 10s));
    EXPECT_EQ(noDisplay.process.exitCode(), 2);
    EXPECT_TRUE((noDisplay.err + noDisplay.process.readAllStandardError()).contains("tavrolin --headless")) << noDisplay.err.toStdString();
}

TEST(Headless, TheDesktopApplicationWaitsForAFolderAndQuitsOnSigterm)
{
    App desktop({}, {{"QT_QPA_PLATFORM", "offscreen"}, {"TAVROLIN_DEBUG", "1"}});
    ASSERT_TRUE(waitUntil([&] { return desktop.err.contains("DeviceRegistry: ") || desktop.process.state() == QProcess::NotRunning; }, 20s))
        << desktop.err.toStdString();
    waitUntil([] { return false; }, 1500ms);
    EXPECT_EQ(desktop.process.state(), QProcess::Running) << desktop.err.toStdString();
    EXPECT_FALSE(QFile::exists(desktop.pidFile())) << "no engine without a chosen folder";
    int exitCode = -1;
    ASSERT_TRUE(desktop.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
}

TEST(Headless, RunsSilentlyUntilSigtermThenExitsCleanly)
{
    for (int port : kProductionPorts)
        ASSERT_TRUE(portIsFree(port)) << "port " << port << " is taken on this machine; the headless test needs it";

    Sandbox storage;
    App run({"--headless", "--storage", storage.storage()});
    ASSERT_TRUE(run.waitForOutput("Server running: S3 gateway at http://", 60s)) << run.out.toStdString() << run.err.toStdString();
    // What to set devices up with, or why they cannot reach it yet.
    EXPECT_TRUE(run.waitForOutput("Set up devices with: S3 http://", 5s) || run.out.contains("No network address found"))
        << run.out.toStdString();
    EXPECT_TRUE(run.err.isEmpty()) << "diagnostics are off by default: " << run.err.left(500).toStdString();
    const qint64 engine = run.enginePid();
    ASSERT_GT(engine, 0);
    EXPECT_TRUE(ProcessTable::isAlive(engine));

    // The JSON API runs with the server.
    QTcpSocket api;
    QByteArray health;
    QObject::connect(&api, &QTcpSocket::readyRead, [&] { health += api.readAll(); });
    api.connectToHost(QHostAddress::LocalHost, 8334);
    api.write("GET /api/tavro/health HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(waitUntil([&] { return health.endsWith("{\"status\":\"ok\"}"); }, 5s)) << health.constData();

    // A second server for the same user refuses to start and touches nothing.
    App second({"--headless"}, {}, run.home);
    ASSERT_TRUE(second.process.waitForFinished(10000));
    EXPECT_EQ(second.process.exitCode(), 1);
    second.err += second.process.readAllStandardError();
    EXPECT_TRUE(second.err.startsWith("Tavrolin is already running (pid ")) << second.err.toStdString();
    EXPECT_TRUE(ProcessTable::isAlive(engine));

    int exitCode = -1;
    ASSERT_TRUE(run.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(run.out.contains("Server stopped"));
    EXPECT_TRUE(waitUntil([&] { return !ProcessTable::isAlive(engine); }, 5s)) << "orphaned engine " << engine;
    expectProductionPortsFree();
    EXPECT_FALSE(QFile::exists(run.pidFile()));
}

TEST(Headless, VerboseLogsAndAStopWhileStarting)
{
    Sandbox storage;
    App verbose({"--headless", "--storage", storage.storage()}, {{"TAVROLIN_DEBUG", "1"}});
    ASSERT_TRUE(verbose.waitForOutput("Server running:", 60s)) << verbose.err.toStdString();
    int exitCode = -1;
    ASSERT_TRUE(verbose.stop(SIGINT, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(verbose.err.contains("SeaweedFS started successfully on port 8333\n"));
    EXPECT_TRUE(verbose.err.contains("\nSeaweedFS: "));
    // The folder given is remembered as the user's choice.
    QSettings settings(verbose.sandbox.path("home/.config/Tavrolin/Tavrolin.conf"), QSettings::IniFormat);
    EXPECT_EQ(settings.value("storagePath").toString(), storage.storage());
    expectProductionPortsFree();

    // Stopped while it waits for the gateway: no engine is left behind.
    App early({"--headless", "--storage", storage.storage()});
    ASSERT_TRUE(early.waitForOutput("Waiting for S3 API... (1s)", 30s)) << early.out.toStdString() << early.err.toStdString();
    const qint64 engine = early.enginePid();
    ASSERT_TRUE(early.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(early.out.contains("Server running:"));
    EXPECT_TRUE(waitUntil([&] { return engine > 0 && !ProcessTable::isAlive(engine); }, 5s)) << "orphaned engine " << engine;
    expectProductionPortsFree();
}

TEST(Headless, AdvertisesItselfOnTheLanWhileRunning)
{
    const QString reason = PrivateAvahi::unavailableReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    Sandbox daemons;
    PrivateAvahi avahi(daemons);
    ASSERT_TRUE(avahi.startBus());
    ASSERT_TRUE(avahi.startAvahi());

    Sandbox storage;
    App app({"--headless", "--storage", storage.storage()},
            {{"TAVROLIN_DEBUG", "1"}, {"DBUS_SYSTEM_BUS_ADDRESS", avahi.busAddress()}});
    ASSERT_TRUE(app.waitForOutput("Server running:", 60s)) << app.err.toStdString();

    QString name = AvahiPublisher::fitServiceName(HostNames::userVisibleName());
    if (name.isEmpty())
        name = "Tavrolin";
    const QString line = avahi.waitForInstance("_tavro._tcp", name);
    ASSERT_FALSE(line.isEmpty()) << app.err.toStdString();
    EXPECT_EQ(line.section(';', 8, 8), "8333");
    EXPECT_TRUE(line.section(';', 9).contains("\"apiPort=8334\"")) << line.toStdString();
    EXPECT_TRUE(line.section(';', 9).contains("\"quicPort=8444\"")) << line.toStdString();
    EXPECT_TRUE(app.err.contains(("Bonjour advertising started: " + name + " on S3 port 8333, API port 8334, QUIC port 8444\n").toUtf8()));

    int exitCode = -1;
    ASSERT_TRUE(app.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return avahi.waitForInstance("_tavro._tcp", name, 1s).isEmpty(); }, 15s));
    expectProductionPortsFree();
}

TEST(Headless, ImportsARelayUploadFromTheCloudFolder)
{
    Sandbox storage, cloud;
    App app({"--headless", "--storage", storage.storage(), "--cloud-folder", cloud.dir.path()}, {{"TAVROLIN_DEBUG", "1"}});
    ASSERT_TRUE(app.waitForOutput("Server running:", 60s)) << app.err.toStdString();
    EXPECT_TRUE(app.err.contains("ICloudRelayWatcher: Started watching for uploads and download requests"));

    // The relay folder is named after the server's id, made on first run.
    QSettings settings(app.home + "/.config/Tavrolin/Tavrolin.conf", QSettings::IniFormat);
    const QString id = settings.value("CloudKitDeviceId").toString();
    ASSERT_EQ(id, id.toUpper());
    ASSERT_EQ(id.size(), 36);
    EXPECT_EQ(settings.value("cloudFolder").toString(), cloud.dir.path());
    const QString pending = cloud.dir.path() + "/relay/" + id + "/pending/";
    ASSERT_TRUE(QFileInfo(pending).isDir());
    {
        QFile data(pending + "p1.data");
        ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        data.write("photo bytes");
    }
    {
        // Dropped whole, as a synced file arrives: a file watched while it
        // is still being written would be read half-written.
        QFile meta(pending + "p1.partial");
        ASSERT_TRUE(meta.open(QIODevice::WriteOnly));
        meta.write(R"({"uploadId":"p1","key":"photos/relay/p1.jpg","contentType":"image/jpeg","size":11,)"
                   R"("timestamp":"2026-12-05T15:24:06Z","senderDeviceId":"PHONE"})");
        meta.close();
        ASSERT_TRUE(meta.rename(pending + "p1.meta.json"));
    }
    const QString confirmation = cloud.dir.path() + "/relay/" + id + "/confirmed/p1.json";
    // Should a first attempt fail, that failure is confirmed and the retry
    // at the next scan overwrites it.
    QByteArray confirmed;
    const bool succeeded = waitUntil(
        [&] {
            QFile c(confirmation);
            confirmed = c.open(QIODevice::ReadOnly) ? c.readAll() : QByteArray();
            return confirmed.contains("\"success\":true");
        },
        30s);
    EXPECT_TRUE(succeeded) << confirmed.toStdString() << "\n" << app.err.toStdString();

    int exitCode = -1;
    ASSERT_TRUE(app.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(app.err.contains("ICloudRelayWatcher: Stopped watching"));
    expectProductionPortsFree();
}

TEST(Headless, AcceptsQuicUploadsOnPort8444)
{
    Sandbox storage;
    App app({"--headless", "--storage", storage.storage()}, {{"TAVROLIN_DEBUG", "1"}});
    ASSERT_TRUE(app.waitForOutput("Server running:", 60s)) << app.err.toStdString();
    EXPECT_TRUE(app.err.contains("QUIC: Listener ready on port 8444"));
    // The identity lives in the application's data folder, owner-only.
    const QString key = app.home + "/.local/share/Tavrolin/identity/com.tavrolin.quic-server.key";
    EXPECT_EQ(QFileInfo(key).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());

    QFile photo(storage.path("IMG_0001.jpg"));
    ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
    photo.write(QByteArray(100000, 'j'));
    photo.close();
    QProcess upload;
    upload.start(QStringLiteral(TAVROLIN_TEST_UPLOAD), {"127.0.0.1", photo.fileName(), "--key", "2026/IMG_0001.jpg"});
    ASSERT_TRUE(waitUntil([&] { return upload.state() == QProcess::NotRunning; }, 30s));
    EXPECT_EQ(upload.exitCode(), 0) << upload.readAllStandardOutput().toStdString() << app.err.toStdString();
    EXPECT_TRUE(app.err.contains("QUIC: Successfully stored 2026/IMG_0001.jpg"));

    int exitCode = -1;
    ASSERT_TRUE(app.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(app.err.contains("QUIC: Stopped listening"));
    expectProductionPortsFree();
}

// The tree the install rules make runs on its own: the headless server
// links no GUI library and finds the engine copied beside it.
TEST(InstalledTree, TheHeadlessServerRunsAndFindsItsEngine)
{
    Sandbox sandbox;
    const QString prefix = sandbox.path("prefix");
    QProcess install;
    install.start(QStringLiteral(TAVROLIN_TEST_CMAKE), {"--install", TAVROLIN_TEST_BUILD_DIR, "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();

    const QString server = prefix + "/bin/tavrolin-server", engine = prefix + "/libexec/tavrolin/weed";
    for (const QString &path : {server, prefix + "/bin/tavrolin", prefix + "/bin/tavrolin-upload", engine})
        EXPECT_TRUE(QFileInfo(path).isExecutable()) << path.toStdString();
    EXPECT_FALSE(QFileInfo(engine).isSymLink()) << "the tree must not point back into the build";
    if (TAVROLIN_TEST_GUI) {
        EXPECT_TRUE(QFile::exists(prefix + "/share/applications/tavrolin.desktop"));
        EXPECT_TRUE(QFile::exists(prefix + "/share/icons/hicolor/scalable/apps/tavrolin.svg"));
    }

    QProcess readelf;
    readelf.start(QStringLiteral("readelf"), {"-d", server});
    ASSERT_TRUE(readelf.waitForFinished(30000));
    const QString needed = QString::fromUtf8(readelf.readAllStandardOutput());
    ASSERT_TRUE(needed.contains("libQt6Core")) << needed.toStdString();
    for (const char *gui : {"libQt6Gui", "libQt6Widgets", "libQt6Qml", "libQt6Quick"})
        EXPECT_FALSE(needed.contains(gui)) << "tavrolin-server needs " << gui;

    for (int port : kProductionPorts)
        ASSERT_TRUE(portIsFree(port)) << "port " << port << " is taken on this machine; the test needs it";
    App run({"--storage", sandbox.storage()}, {}, {}, server);
    ASSERT_TRUE(run.waitForOutput("Server running: S3 gateway at http://", 60s)) << run.out.toStdString() << run.err.toStdString();
    const qint64 enginePid = run.enginePid();
    ASSERT_GT(enginePid, 0);
    EXPECT_EQ(QFileInfo(QStringLiteral("/proc/%1/exe").arg(enginePid)).symLinkTarget(), QFileInfo(engine).canonicalFilePath());
    int exitCode = -1;
    ASSERT_TRUE(run.stop(SIGTERM, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return !ProcessTable::isAlive(enginePid); }, 5s)) << "orphaned engine " << enginePid;
    expectProductionPortsFree();
}
