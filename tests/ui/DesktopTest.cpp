// The desktop's models and Qt Quick views, drawn off screen.

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QElapsedTimer>
#include <QQuickWindow>
#include <QTimer>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>

#include "ui/GuiApp.h"
#include "cloud/CloudKitService.h"
#include "tests/support/MemoryRecordStore.h"
#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"
#include "ui/ImageProviders.h"
#include "ui/LoginItem.h"
#include "ui/MenuBarModel.h"
#include "ui/PhotoDetailModel.h"
#include "ui/PhotoExportService.h"
#include "ui/PhotoGridModel.h"
#include "ui/PhotoListService.h"
#include "ui/QmlTypes.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

QByteArray listingOf(const QStringList &keys) { return listPage(keys, false); }

// A gateway that lists the keys and serves each object's name as its bytes.
struct Gateway {
    QStringList keys;
    QMap<QString, QByteArray> bodies;
    int listStatus = 200;
    FakeS3 server{[this](const FakeS3::Request &r) {
        if (r.target.startsWith("/photos?"))
            return FakeS3::Response{listStatus, listStatus == 200 ? listingOf(keys) : QByteArray()};
        const QString key = QUrl::fromPercentEncoding(r.target.mid(8));
        if (!keys.contains(key))
            return FakeS3::Response{404, ""};
        return FakeS3::Response{200, bodies.value(key, "bytes of " + key.toUtf8())};
    }};
    Gateway() { server.listen(0); }
};

QObject *find(QObject *root, const char *name)
{
    return root->findChild<QObject *>(QString::fromLatin1(name));
}

// Items made by views are children of the scene, not always of an object.
void collectItems(QQuickItem *item, const QString &name, QList<QQuickItem *> &out)
{
    if (item->objectName() == name)
        out << item;
    for (QQuickItem *child : item->childItems())
        collectItems(child, name, out);
}

QList<QQuickItem *> itemsNamed(QQuickWindow *window, const QString &name)
{
    QList<QQuickItem *> out;
    collectItems(window->contentItem(), name, out);
    return out;
}

// A 24-megapixel photo as a phone stores it (about 5 MB).
QByteArray cameraJpeg()
{
    QImage image(6000, 4000, QImage::Format_RGB32);
    auto *random = QRandomGenerator::global();
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        random->fillRange(line, image.width());
        for (int x = 0; x < image.width(); ++x)
            line[x] = (line[x] & 0x000f0f0f) + qRgb(x * 160 / image.width(), y * 255 / image.height(), 128);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

} // namespace

TEST(MenuBarModel, FirstRunWithoutAFolderThenAFolderChosen)
{
    Harness harness(kIdleEngine, false);
    MenuBarModel model(*harness.manager, "/opt/Tavrolin/bin/tavrolin", harness.sandbox.settings());
    runTask(harness.manager->startServer());
    EXPECT_EQ(model.errorText(), "Please select a storage location first");
    EXPECT_FALSE(model.isRunning());
    EXPECT_EQ(model.engineState(), "stopped");
    EXPECT_EQ(model.engineLabel(), "SeaweedFS");
    EXPECT_EQ(model.bucketLabel(), "Bucket...");
    EXPECT_TRUE(model.addressText().endsWith(QStringLiteral(":%1").arg(harness.manager->port())));
    EXPECT_EQ(model.clientsText(), QString::fromUtf8("0 LAN \u2022 0 Remote"));
    EXPECT_EQ(model.cloudText(), "Remote access through the cloud folder");
    EXPECT_FALSE(model.hasStorage());
    EXPECT_TRUE(model.welcomeText().startsWith("Welcome to Tavrolin. Choose a folder"));
    EXPECT_EQ(model.trayState(), "error");
    EXPECT_EQ(model.toolTip(), "Tavrolin\nPlease select a storage location first");

    int changes = 0;
    QObject::connect(&model, &MenuBarModel::changed, [&] { ++changes; });
    QDir().mkpath(harness.sandbox.storage());
    model.chooseStorageFolder(QUrl::fromLocalFile(harness.sandbox.storage()).toString());
    EXPECT_TRUE(model.hasStorage());
    EXPECT_EQ(model.storagePath(), harness.sandbox.storage());
    EXPECT_TRUE(model.freeText().endsWith(" available"));
    EXPECT_EQ(model.objectsText(), "0 objects");
    EXPECT_GT(changes, 0);
    EXPECT_EQ(QSettings(harness.sandbox.settings(), QSettings::IniFormat).value("storagePath").toString(), harness.sandbox.storage());
    // The question is answered: its error and the welcome go.
    EXPECT_EQ(model.errorText(), "");
    EXPECT_EQ(model.welcomeText(), "");
    EXPECT_EQ(model.noticeText(), "") << "a first choice leaves no library behind";
    EXPECT_EQ(model.trayState(), "stopped");
    EXPECT_EQ(model.toolTip(), "Tavrolin\nStopped");
    model.chooseStorageFolder(harness.sandbox.path("does-not-exist"));
    EXPECT_EQ(model.storagePath(), harness.sandbox.storage());
    // Another folder: the user hears that the photos do not follow.
    QDir().mkpath(harness.sandbox.path("elsewhere"));
    model.chooseStorageFolder(harness.sandbox.path("elsewhere"));
    EXPECT_EQ(model.noticeText(), harness.sandbox.path("elsewhere") + " holds a library of its own; the photos in " +
                                      harness.sandbox.storage() + " stay there.");
    // The cloud folder is chosen here too, not only on the command line.
    EXPECT_EQ(model.cloudFolder(), "");
    model.chooseCloudFolder(harness.sandbox.path("no-such-folder"));
    EXPECT_EQ(model.cloudFolder(), "");
    QDir().mkpath(harness.sandbox.path("Sync"));
    model.chooseCloudFolder(QUrl::fromLocalFile(harness.sandbox.path("Sync")).toString());
    EXPECT_EQ(model.cloudFolder(), harness.sandbox.path("Sync"));
    EXPECT_EQ(QSettings(harness.sandbox.settings(), QSettings::IniFormat).value("cloudFolder").toString(), harness.sandbox.path("Sync"));
    EXPECT_EQ(model.noticeText(), "Remote devices reach this server through " + harness.sandbox.path("Sync") + " from its next start.");
    EXPECT_EQ(model.deviceAddress(), QStringLiteral("http://%1:%2")
                                         .arg(harness.manager->localIP().isEmpty() ? "localhost" : harness.manager->localIP())
                                         .arg(harness.manager->port()));
}

// Stopped and running look different in the tray at any size.
TEST(MenuBarModel, EachStateHasItsOwnTrayIcon)
{
    QMap<QString, QRgb> badges;
    for (const char *state : {"stopped", "starting", "running", "error"}) {
        for (int size : {16, 22, 48}) {
            const QImage image = MenuBarModel::trayImage(state, size);
            ASSERT_EQ(image.size(), QSize(size, size));
            const QRgb badge = image.pixel(size - size * 9 / 40 - 1, size - size * 9 / 40 - 1);
            EXPECT_EQ(qAlpha(badge), 255) << state << " " << size;
            if (size == 48)
                badges[state] = badge;
        }
    }
    EXPECT_EQ(QSet<QRgb>(badges.begin(), badges.end()).size(), 4);
    EXPECT_GT(qGreen(badges["running"]), qRed(badges["running"]));
    EXPECT_GT(qRed(badges["error"]), qGreen(badges["error"]));
}

TEST(MenuBarModel, BytesAndTheLowSpaceThreshold)
{
    EXPECT_EQ(MenuBarModel::formatBytes(0), "0 bytes");
    EXPECT_EQ(MenuBarModel::formatBytes(1), "1 byte");
    EXPECT_EQ(MenuBarModel::formatBytes(999), "999 bytes");
    EXPECT_EQ(MenuBarModel::formatBytes(1000), "1 KB");
    EXPECT_EQ(MenuBarModel::formatBytes(12345678), "12.3 MB");
    EXPECT_EQ(MenuBarModel::formatBytes(123456789012), "123.46 GB");
    EXPECT_EQ(MenuBarModel::formatBytes(2500000000000), "2.50 TB");
    EXPECT_TRUE(MenuBarModel::isLowFreeSpace(9999999999));
    EXPECT_FALSE(MenuBarModel::isLowFreeSpace(10000000000));
}

TEST(LaunchAtLogin, WritesAndRemovesTheAutostartEntryAndKeepsTheChoiceWhenRefused)
{
    Sandbox sandbox;
    qputenv("XDG_CONFIG_HOME", sandbox.path("config").toUtf8());
    Harness harness(kIdleEngine);
    MenuBarModel model(*harness.manager, "/opt/My \"Apps\"/tavrolin", harness.sandbox.settings());
    EXPECT_FALSE(model.launchAtLogin());
    model.setLaunchAtLogin(true);
    const QString entry = sandbox.path("config/autostart/tavrolin.desktop");
    EXPECT_EQ(LoginItem::autostartPath(), entry);
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("Exec=\"/opt/My \\\"Apps\\\"/tavrolin\"\n")) << text.toStdString();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\n"));
    EXPECT_TRUE(QSettings(harness.sandbox.settings(), QSettings::IniFormat).value("launchAtLogin").toBool());
    model.setLaunchAtLogin(false);
    EXPECT_FALSE(QFile::exists(entry));

    // A desktop that refuses: one log line, the choice stays as set.
    QDir(sandbox.path("config/autostart")).removeRecursively();
    QFile blocker(sandbox.path("config/autostart"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    LogCapture log;
    model.setLaunchAtLogin(true);
    EXPECT_EQ(log.countStartingWith("Failed to set launch at login: "), 1) << log.joined().toStdString();
    EXPECT_TRUE(model.launchAtLogin());
    qunsetenv("XDG_CONFIG_HOME");
}

// Selection as in a file manager, kept across filters by key, and what the
// grid and its bar make of clicks with ctrl and shift.
TEST(DesktopViews, ClicksWithCtrlAndShiftSelectAndTheBarSavesTheSelection)
{
    Gateway gateway;
    for (int i = 0; i < 8; ++i)
        gateway.keys << QStringLiteral("Pixel_1a2B/2024/05/%1/IMG_%2.jpg").arg(20 - i).arg(i);
    PhotoListService service(gateway.server.port());
    PhotoGridModel grid(service);
    PhotoDetailModel detail(service);
    PhotoExportService exporter(service);
    Sandbox sandbox;
    int asked = 0;
    exporter.chooseFolder = [&] {
        ++asked;
        return sandbox.path("chosen");
    };
    QQmlApplicationEngine engine;
    engine.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
    engine.addImageProvider("full", new FullImageProvider());
    engine.addImageProvider("icon", new IconImageProvider());
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"grid", QVariant::fromValue(&grid)},
                                 {"detail", QVariant::fromValue(&detail)},
                                 {"exporter", QVariant::fromValue(&exporter)}});
    engine.load(QUrl(kBrowseWindowQml));
    ASSERT_EQ(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    window->resize(800, 600);
    window->show();
    QCoro::waitFor(service.fetchPhotos());
    ASSERT_TRUE(waitUntil([&] { return itemsNamed(window, "thumbnail").size() == 8; }, 5s));
    auto cellAt = [&](int row) {
        for (QQuickItem *item : itemsNamed(window, "thumbnail"))
            if (item->property("source").toString() == PhotoGridModel::thumbnailUrl(grid.keyAt(row)))
                return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
        return QPoint();
    };
    QObject *popup = find(window, "detailPopup");
    QObject *bar = find(window, "selectionBar");
    EXPECT_FALSE(bar->property("visible").toBool());

    // Ctrl-click picks one and another without opening either.
    QTest::mouseClick(window, Qt::LeftButton, Qt::ControlModifier, cellAt(1));
    QTest::mouseClick(window, Qt::LeftButton, Qt::ControlModifier, cellAt(3));
    EXPECT_EQ(grid.selectedKeys(), (QStringList{grid.keyAt(1), grid.keyAt(3)}));
    EXPECT_FALSE(popup->property("visible").toBool());
    EXPECT_TRUE(bar->property("visible").toBool());
    EXPECT_EQ(find(window, "selectionText")->property("text").toString(), "2 selected");
    // Shift-click: the range from the last one clicked.
    QTest::mouseClick(window, Qt::LeftButton, Qt::ShiftModifier, cellAt(6));
    EXPECT_EQ(grid.selectedCount(), 4);
    EXPECT_TRUE(grid.isSelected(3) && grid.isSelected(6) && !grid.isSelected(1));
    // Ctrl-click on a selected one takes it out; Ctrl+A takes all.
    QTest::mouseClick(window, Qt::LeftButton, Qt::ControlModifier, cellAt(4));
    EXPECT_EQ(grid.selectedCount(), 3);
    window->requestActivate();
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(grid.selectedCount(), 8);
    // Kept by key across a search and a listing that failed; photos gone
    // from the store go from it.
    grid.setSearchText("IMG_7");
    EXPECT_EQ(grid.selectedCount(), 8);
    grid.setSearchText("");
    gateway.listStatus = 503;
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(grid.selectedCount(), 8);
    gateway.listStatus = 200;
    gateway.keys.removeLast();
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(grid.selectedCount(), 7);
    // With nothing to extend from (the selection cleared), a shift-click
    // starts a range there and the next one extends it.
    grid.clearSelection();
    grid.select(2, false, true);
    grid.select(4, false, true);
    EXPECT_EQ(grid.selectedKeys(), (QStringList{grid.keyAt(2), grid.keyAt(3), grid.keyAt(4)}));
    grid.selectAll();

    // Save to...: asks for the folder, saves with progress, says where.
    QMetaObject::invokeMethod(find(window, "saveSelection"), "clicked");
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting() && exporter.statusText().startsWith("Saved"); }, 20s))
        << exporter.statusText().toStdString();
    EXPECT_EQ(find(window, "exportStatus")->property("text").toString(), "Saved 7 photos to " + sandbox.path("chosen"));
    EXPECT_EQ(QDir(sandbox.path("chosen")).entryList(QDir::Files).size(), 7);
    QMetaObject::invokeMethod(find(window, "dismissExport"), "clicked");
    EXPECT_FALSE(bar->property("visible").toBool() && grid.selectedCount() == 0);
    EXPECT_EQ(exporter.statusText(), "");

    // A plain click opens the photo and makes it the only one selected.
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, cellAt(2));
    EXPECT_TRUE(waitUntil([&] { return popup->property("visible").toBool(); }, 5s));
    EXPECT_EQ(grid.selectedKeys(), QStringList{grid.keyAt(2)});
}

TEST(PhotoGridModel, FiltersSearchesCountsAndClampsColumns)
{
    Gateway gateway;
    gateway.keys = {"Pixel_1a2B/2024/05/17/IMG_1.jpg", "Pixel_1a2B/2024/05/18/beach.jpg", "Laptop/2023/12/01/clip.MOV",
                    "Laptop/2023/12/02/Beach party.png", "loose.jpg"};
    PhotoListService service(gateway.server.port());
    PhotoGridModel grid(service);
    EXPECT_EQ(grid.mainState(), "empty");
    EXPECT_EQ(grid.emptyText(), "No photos yet");
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(grid.mainState(), "grid");
    EXPECT_EQ(grid.statusText(), "5 photos");
    EXPECT_EQ(grid.devices(), (QStringList{"Laptop", "Pixel_1a2B", "Unknown"})) << "a bare file name is no device";

    grid.setSelectedDevice("Laptop");
    grid.setSearchText("BEACH");
    ASSERT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.keyAt(0), "Laptop/2023/12/02/Beach party.png");
    EXPECT_EQ(grid.statusText(), "1 photos");
    EXPECT_EQ(grid.filterText(), "Filtered: Laptop");
    grid.setSearchText("pixel");
    EXPECT_EQ(grid.rowCount(), 0);
    EXPECT_EQ(grid.emptyText(), "No matching photos");
    grid.clearDevice();
    EXPECT_EQ(grid.rowCount(), 2) << "search matches device names too";
    EXPECT_EQ(grid.filterText(), "");
    grid.setSearchText("");

    EXPECT_EQ(grid.gridColumns(), 4);
    for (const auto &[in, out] : std::vector<std::pair<double, int>>{{1.7, 2}, {-5, 2}, {8.9, 8}, {100, 8}, {5.6, 5}, {NAN, 5}}) {
        grid.setGridColumns(in);
        EXPECT_EQ(grid.gridColumns(), out) << in;
    }

    // A failed listing shows the error, even over a partial list.
    gateway.listStatus = 500;
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(grid.mainState(), "error");
    EXPECT_EQ(grid.errorText(), "Failed to list objects: HTTP 500");
    EXPECT_EQ(grid.data(grid.index(0), PhotoGridModel::ThumbnailUrlRole), QVariant());
}

TEST(PhotoDetailModel, ZoomLimitsVideosFailuresAndSavingTheOriginal)
{
    Gateway gateway;
    gateway.keys = {"Cam_0001/2024/01/01/IMG_2.HEIC", "Cam_0001/2024/01/01/v.mov", "Cam_0001/2024/01/01/missing.jpg"};
    PhotoListService service(gateway.server.port());
    QCoro::waitFor(service.fetchPhotos());
    gateway.keys.removeLast();
    Sandbox sandbox;
    PhotoDetailModel detail(service, sandbox.path("Downloads"));

    detail.openKey("Cam_0001/2024/01/01/v.mov");
    EXPECT_EQ(detail.state(), "video") << "no image is fetched for a video";
    EXPECT_FALSE(detail.hasImage());

    detail.openKey("Cam_0001/2024/01/01/missing.jpg");
    EXPECT_EQ(detail.state(), "loading");
    ASSERT_TRUE(waitUntil([&] { return detail.state() != "loading"; }, 5s));
    EXPECT_EQ(detail.state(), "error");
    EXPECT_EQ(detail.errorText(), "Failed to load image");

    for (double expected : {0.75, 0.5, 0.25, 0.25}) {
        detail.zoomOut();
        EXPECT_DOUBLE_EQ(detail.zoomScale(), expected);
    }
    detail.fit();
    for (int i = 0; i < 20; ++i)
        detail.zoomIn();
    EXPECT_EQ(detail.zoomText(), "400%");
    detail.fit();
    detail.zoomIn();
    EXPECT_EQ(detail.zoomText(), "125%");
    detail.openKey("Cam_0001/2024/01/01/v.mov");
    EXPECT_EQ(detail.zoomText(), "100%") << "each sheet starts fresh";
    EXPECT_EQ(detail.objectUrl().toString(QUrl::FullyEncoded), "http://localhost:8333/photos/Cam_0001/2024/01/01/v.mov");
}

TEST(DesktopViews, BrowserTextsStatesAndTheDetailSheet)
{
    Gateway gateway;
    PhotoListService service(gateway.server.port());
    PhotoGridModel grid(service);
    PhotoDetailModel detail(service);
    QQmlApplicationEngine engine;
    engine.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
    engine.addImageProvider("full", new FullImageProvider());
    engine.addImageProvider("icon", new IconImageProvider());
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"grid", QVariant::fromValue(&grid)}, {"detail", QVariant::fromValue(&detail)}});
    engine.load(QUrl(kBrowseWindowQml));
    ASSERT_EQ(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    ASSERT_TRUE(window);
    window->show();
    QObject *root = window;

    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(find(root, "emptyText")->property("text").toString(), "No photos yet");
    EXPECT_TRUE(find(root, "emptyText")->property("visible").toBool());
    EXPECT_EQ(find(root, "statusText")->property("text").toString(), "0 photos");

    gateway.keys = {"Pixel_1a2B/2024/05/17/a.jpg", "Pixel_1a2B/2024/05/17/b.mov", "Laptop/2024/01/01/c.jpg"};
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_TRUE(find(root, "photoGrid")->property("visible").toBool());
    EXPECT_EQ(find(root, "statusText")->property("text").toString(), "3 photos");
    find(root, "searchField")->setProperty("text", "zzz");
    EXPECT_EQ(find(root, "emptyText")->property("text").toString(), "No matching photos");
    find(root, "searchField")->setProperty("text", "");
    grid.setSelectedDevice("Laptop");
    EXPECT_EQ(find(root, "filterText")->property("text").toString(), "Filtered: Laptop");
    grid.clearDevice();

    // The sheet opens for a photo and Escape closes it.
    QObject *popup = find(root, "detailPopup");
    ASSERT_TRUE(popup);
    detail.openKey("Pixel_1a2B/2024/05/17/b.mov");
    QMetaObject::invokeMethod(popup, "open");
    ASSERT_TRUE(waitUntil([&] { return popup->property("opened").toBool(); }, 5s));
    EXPECT_EQ(find(root, "videoText")->property("text").toString(), "Video preview not available");
    EXPECT_EQ(find(root, "detailFilename")->property("text").toString(), "b.mov");
    window->requestActivate();
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(waitUntil([&] { return !popup->property("visible").toBool(); }, 5s));

    gateway.listStatus = 503;
    QCoro::waitFor(service.fetchPhotos());
    EXPECT_EQ(find(root, "errorText")->property("text").toString(), "Failed to list objects: HTTP 503");
    EXPECT_FALSE(find(root, "photoGrid")->property("visible").toBool());

    // A picture of the window, for the eye.
    const QImage shot = window->grabWindow();
    EXPECT_FALSE(shot.isNull());
}

TEST(DesktopViews, TheTrayPopupShowsTheServersState)
{
    Harness harness(kIdleEngine, false);
    MenuBarModel model(*harness.manager, "tavrolin", harness.sandbox.settings());
    runTask(harness.manager->startServer());
    QQmlApplicationEngine engine;
    engine.addImageProvider("icon", new IconImageProvider());
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"menuBar", QVariant::fromValue(&model)}});
    engine.load(QUrl(kMenuBarWindowQml));
    ASSERT_EQ(engine.rootObjects().size(), 1);
    QObject *root = engine.rootObjects().first();
    EXPECT_EQ(find(root, "errorRow")->property("text").toString(), "Please select a storage location first");
    EXPECT_EQ(find(root, "engineRow")->property("text").toString(), "SeaweedFS");
    EXPECT_EQ(find(root, "bucketRow")->property("text").toString(), "Bucket...");
    EXPECT_TRUE(find(root, "selectStorage")->property("visible").toBool());
    EXPECT_FALSE(find(root, "startButton")->property("enabled").toBool());
    // Red like the tray's badge: the server cannot start as things are.
    EXPECT_EQ(find(root, "statusDot")->property("color").value<QColor>(), QColor("#e03131"));
    EXPECT_TRUE(find(root, "welcomeText")->property("visible").toBool());
    EXPECT_FALSE(find(root, "noticeText")->property("visible").toBool());
}

TEST(DesktopViews, TheDetailSheetShowsTheFullImage)
{
    Gateway gateway;
    gateway.keys = {"Cam_0001/2024/01/01/p.png"};
    QImage picture(120, 90, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    gateway.bodies["Cam_0001/2024/01/01/p.png"] = png;
    PhotoListService service(gateway.server.port());
    PhotoGridModel grid(service);
    Sandbox downloads;
    PhotoDetailModel detail(service, downloads.path("Downloads"));
    QQmlApplicationEngine engine;
    auto *full = new FullImageProvider();
    engine.addImageProvider("full", full);
    engine.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
    engine.addImageProvider("icon", new IconImageProvider());
    detail.imageSink = [full](const QImage &image) { full->setImage(image); };
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"grid", QVariant::fromValue(&grid)}, {"detail", QVariant::fromValue(&detail)}});
    engine.load(QUrl(kBrowseWindowQml));
    ASSERT_EQ(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    window->show();
    QCoro::waitFor(service.fetchPhotos());
    detail.openKey("Cam_0001/2024/01/01/p.png");
    QMetaObject::invokeMethod(find(window, "detailPopup"), "open");
    ASSERT_TRUE(waitUntil([&] { return detail.state() == "image"; }, 5s));
    QObject *image = find(window, "fullImage");
    ASSERT_TRUE(image);
    // The image reaches the view, not only the model (status 1: Ready).
    EXPECT_TRUE(waitUntil([&] { return image->property("status").toInt() == 1; }, 5s)) << image->property("status").toInt();
    EXPECT_EQ(find(window, "zoomText")->property("text").toString(), "100%");

    // Saving writes the stored bytes under the photo's name, then beside it.
    QStringList saved;
    QObject::connect(&detail, &PhotoDetailModel::saved, [&](const QString &path) { saved << path; });
    detail.saveToDownloads();
    ASSERT_TRUE(waitUntil([&] { return saved.size() == 1; }, 5s)) << detail.message().toStdString();
    detail.saveToDownloads();
    ASSERT_TRUE(waitUntil([&] { return saved.size() == 2; }, 5s));
    EXPECT_EQ(saved, (QStringList{downloads.path("Downloads/p.png"), downloads.path("Downloads/p (1).png")}));
    QFile copy(saved.first());
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_TRUE(copy.readAll() == png);
    EXPECT_EQ(detail.message(), "Saved to " + saved.last());

    // An object gone from the store is reported, not pretended saved.
    gateway.keys.clear();
    detail.saveToDownloads();
    EXPECT_TRUE(waitUntil([&] { return detail.message() == "p.png is no longer in the store"; }, 5s)) << detail.message().toStdString();
    EXPECT_EQ(saved.size(), 2);
}

// Real photos without thumbnails of their own: the window keeps answering
// while their thumbnails are made, and a video is never fetched for one.
TEST(DesktopViews, ThumbnailsOfRealPhotosLoadWithoutFreezingTheWindow)
{
    Gateway gateway;
    const QByteArray photo = cameraJpeg();
    for (int i = 0; i < 12; ++i) {
        gateway.keys << QStringLiteral("Pixel_1a2B/2024/05/%1/IMG_%2.jpg").arg(10 + i).arg(i);
        gateway.bodies[gateway.keys.last()] = photo;
    }
    gateway.keys << "Pixel_1a2B/2024/06/01/clip.mov";
    gateway.bodies["Pixel_1a2B/2024/06/01/clip.mov"] = QByteArray(8 << 20, 'v');
    PhotoListService service(gateway.server.port());
    PhotoGridModel grid(service);
    PhotoDetailModel detail(service);
    QQmlApplicationEngine engine;
    engine.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
    engine.addImageProvider("full", new FullImageProvider());
    engine.addImageProvider("icon", new IconImageProvider());
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"grid", QVariant::fromValue(&grid)}, {"detail", QVariant::fromValue(&detail)}});
    engine.load(QUrl(kBrowseWindowQml));
    ASSERT_EQ(engine.rootObjects().size(), 1);
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    window->resize(800, 600);
    window->show();

    // The longest the event loop went without turning while they loaded.
    QElapsedTimer sinceTick;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, sinceTick.restart());
    });
    QCoro::waitFor(service.fetchPhotos());
    sinceTick.start();
    ticker.start();
    const auto ready = [&] {
        const QList<QQuickItem *> cells = itemsNamed(window, "thumbnail");
        int photos = 0, loaded = 0;
        for (QQuickItem *cell : cells) {
            if (cell->property("source").toString().contains("clip.mov"))
                continue;
            ++photos;
            loaded += cell->property("status").toInt() == 1 ? 1 : 0;
        }
        return photos > 0 && loaded == photos;
    };
    QElapsedTimer took;
    took.start();
    ASSERT_TRUE(waitUntil(ready, 30s));
    ticker.stop();
    const qint64 coldMs = took.elapsed();
    std::printf("[ info ] %lld cells ready in %lld ms, longest stall %lld ms\n", qlonglong(itemsNamed(window, "thumbnail").size()),
                qlonglong(coldMs), qlonglong(longestStall));
    EXPECT_LT(longestStall, 150) << "the window stood still for " << longestStall << " ms (all in " << coldMs << " ms)";
    EXPECT_EQ(std::count_if(gateway.server.requests.cbegin(), gateway.server.requests.cend(),
                            [](const FakeS3::Request &r) { return r.target.contains("clip.mov"); }),
              0);

    // Cells made again (a search typed and cleared) find their thumbnails
    // in memory: every one of them is shown, none waits.
    find(window, "searchField")->setProperty("text", "zzz");
    find(window, "searchField")->setProperty("text", "");
    took.restart();
    EXPECT_TRUE(waitUntil(ready, 5s));
    EXPECT_LT(took.elapsed(), 1000);
}

TEST(MenuBarModel, TheCloudRowFollowsTheSignalingService)
{
    Harness harness(kIdleEngine);
    MenuBarModel model(*harness.manager, "tavrolin", harness.sandbox.settings());
    EXPECT_EQ(model.cloudText(), "Remote access through the cloud folder");
    MemoryRecordStore store;
    CloudKitConfig config;
    config.settingsFile = harness.sandbox.settings();
    CloudKitService cloud(store, config);
    model.setCloudService(&cloud);
    EXPECT_EQ(model.cloudState(), "idle");

    runTask(cloud.registerServer(8333));
    EXPECT_EQ(model.cloudState(), "registered");
    EXPECT_EQ(model.cloudText(), "Reachable from anywhere through the cloud folder");
    EXPECT_TRUE(model.cloudRegistered());

    // An error wins over the registered state, and the check mark stays.
    store.status = AccountStatus::NoAccount;
    runTask(cloud.registerServer(8333));
    EXPECT_EQ(model.cloudState(), "error");
    EXPECT_EQ(model.cloudText(), "Choose a cloud folder to reach this server from anywhere");
    EXPECT_TRUE(model.cloudRegistered());
}
