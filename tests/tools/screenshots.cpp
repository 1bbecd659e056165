// Draws the desktop views off screen against a real engine holding sample
// photos and saves them as PNG: tavrolin_screenshots OUTPUT_DIR.
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QStandardPaths>
#include <cstdio>

#include "tests/support/ManagerHarness.h"
#include "ui/ImageProviders.h"
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

QImage samplePhoto(int seed, int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 90, 240));
    sky.setColorAt(1, QColor::fromHsv((seed * 47 + 40) % 360, 160, 140));
    p.fillRect(image.rect(), sky);
    p.setBrush(QColor::fromHsv((seed * 91) % 360, 120, 90));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPoint(w * (seed % 5 + 1) / 6, h * 2 / 3), w / 3, h / 4);
    p.setBrush(QColor(255, 240, 200));
    p.drawEllipse(QPoint(w * 3 / 4, h / 4), w / 12, w / 12);
    return image;
}

QByteArray encode(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 90);
    return bytes;
}

bool put(QNetworkAccessManager &network, int port, const QString &key, const QByteArray &bytes)
{
    std::unique_ptr<QNetworkReply> reply(network.put(
        QNetworkRequest(QUrl::fromEncoded(QStringLiteral("http://127.0.0.1:%1/photos/").arg(port).toLatin1() + QUrl::toPercentEncoding(key, "/"))),
        bytes));
    waitUntil([&] { return reply->isFinished(); }, 30s);
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

QByteArray heic(const QImage &image, const Sandbox &sandbox)
{
    const QString encoder = QStandardPaths::findExecutable("heif-enc");
    if (encoder.isEmpty())
        return {};
    image.save(sandbox.path("in.png"));
    QProcess process;
    process.start(encoder, {"-o", sandbox.path("out.heic"), sandbox.path("in.png")});
    process.waitForFinished(30000);
    QFile f(sandbox.path("out.heic"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// settle: let the window finish what it was drawing first.
bool save(QQuickWindow *window, const QString &path, bool settle = true)
{
    if (settle)
        waitUntil([] { return false; }, 300ms);
    const QImage shot = window->grabWindow();
    const bool ok = !shot.isNull() && shot.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

QQuickWindow *load(QQmlApplicationEngine &engine, const char *file)
{
    engine.load(QUrl(QString::fromLatin1(file)));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().last());
    if (window)
        window->show();
    return window;
}

void popup(ServerManager &manager, const Sandbox &sandbox, const QString &path)
{
    MenuBarModel model(manager, "tavrolin", sandbox.settings());
    QQmlApplicationEngine engine;
    engine.addImageProvider("icon", new IconImageProvider());
    prepareQmlEngine(engine);
    engine.setInitialProperties({{"menuBar", QVariant::fromValue(&model)}});
    if (QQuickWindow *window = load(engine, kMenuBarWindowQml))
        save(window, path);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(out);

    // Error: first run, no folder chosen.
    {
        Harness none(kIdleEngine, false);
        runTask(none.manager->startServer());
        popup(*none.manager, none.sandbox, out + "/popup-error.png");
    }
    // Starting: an engine that never answers.
    {
        Harness starting(kIdleEngine);
        auto task = starting.manager->startServer();
        waitUntil([&] { return starting.manager->startupStatus().startsWith("Waiting for S3 API"); }, 10s);
        popup(*starting.manager, starting.sandbox, out + "/popup-starting.png");
    }

    EngineHarness engine;
    if (!engine.start()) {
        std::fputs("the engine did not start\n", stderr);
        return 1;
    }
    // Stopped, with a folder.
    {
        Harness stopped(kIdleEngine);
        popup(*stopped.manager, stopped.sandbox, out + "/popup-stopped.png");
    }

    QNetworkAccessManager network;
    const QStringList devices = {"Pixel_1a2B", "iPhone_9f3C", "Laptop"};
    for (int i = 0; i < 18; ++i) {
        const QString folder = QStringLiteral("%1/2024/%2/%3/").arg(devices[i % 3]).arg(3 + i / 6, 2, 10, QChar('0')).arg(1 + i, 2, 10, QChar('0'));
        const QImage photo = samplePhoto(i, 1200, 900);
        QString key = folder + QStringLiteral("IMG_%1.jpg").arg(1000 + i);
        QByteArray bytes = encode(photo, "JPG");
        if (i % 6 == 4) {
            key = folder + QStringLiteral("IMG_%1.HEIC").arg(1000 + i);
            const QByteArray h = heic(photo, engine.sandbox);
            if (!h.isEmpty())
                bytes = h;
        } else if (i % 6 == 5) {
            key = folder + QStringLiteral("VID_%1.mov").arg(1000 + i);
            bytes = "not really a video";
        }
        put(network, engine.ports.s3, key, bytes);
        const qsizetype dot = key.lastIndexOf('.');
        put(network, engine.ports.s3, key.left(dot) + "_thumb.jpg", encode(photo.scaled(256, 192), "JPG"));
    }
    // A long video, so that an export is seen under way.
    putSparseObject(engine.ports.s3, "photos", "Pixel_1a2B/2024/02/01/VID_0001.mov", qint64(600) << 20);
    runTask(engine.manager->updateObjectCount());
    popup(*engine.manager, engine.sandbox, out + "/popup-running.png");

    // The tray's icon in each state, as the panel shows it.
    {
        const QStringList states = {"stopped", "starting", "running", "error"};
        QImage strip(4 * 56, 56, QImage::Format_ARGB32_Premultiplied);
        strip.fill(QColor(0x30, 0x30, 0x38));
        QPainter painter(&strip);
        for (int i = 0; i < 4; ++i)
            painter.drawImage(QPoint(i * 56 + 12, 12), MenuBarModel::trayImage(states[i], 32));
        painter.end();
        strip.save(out + "/tray-icons.png");
    }

    PhotoListService service(engine.ports.s3);
    PhotoGridModel grid(service);
    PhotoDetailModel detail(service, engine.sandbox.path("Downloads"));
    QQmlApplicationEngine qml;
    qml.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
    auto *full = new FullImageProvider();
    qml.addImageProvider("full", full);
    qml.addImageProvider("icon", new IconImageProvider());
    detail.imageSink = [full](const QImage &image) { full->setImage(image); };
    prepareQmlEngine(qml);
    PhotoExportService exporter(service);
    qml.setInitialProperties({{"grid", QVariant::fromValue(&grid)},
                              {"detail", QVariant::fromValue(&detail)},
                              {"exporter", QVariant::fromValue(&exporter)}});
    QQuickWindow *browser = load(qml, kBrowseWindowQml);
    if (!browser)
        return 1;
    runTask(service.fetchPhotos());
    waitUntil([&] { return service.thumbnailCache().size() >= 12; }, 20s);
    save(browser, out + "/browser-grid.png");

    // Several selected and being saved to a folder.
    for (int row : {0, 2, 3, 5})
        grid.select(row, true, false);
    for (int row = 0; row < grid.rowCount(); ++row)
        if (grid.keyAt(row).endsWith("VID_0001.mov"))
            grid.select(row, true, false);
    waitUntil([] { return false; }, 200ms);
    save(browser, out + "/browser-selection.png");
    // Taken the moment the progress passes a quarter: the video goes by
    // faster than a poll would catch it.
    bool shot = false;
    QObject::connect(&exporter, &PhotoExportService::progressChanged, browser, [&] {
        if (!shot && exporter.isExporting() && exporter.progress() > 0.25) {
            shot = true;
            save(browser, out + "/browser-export.png", false);
        }
    });
    exporter.exportKeys(grid.selectedKeys(), engine.sandbox.path("Exported"));
    waitUntil([&] { return shot || !exporter.isExporting(); }, 60s);
    exporter.cancel();
    waitUntil([&] { return !exporter.isExporting(); }, 30s);
    grid.clearSelection();

    QString first;
    for (const PhotoItem &item : grid.filtered()) {
        if (!item.isVideo && item.key.endsWith(".jpg")) {
            first = item.key;
            break;
        }
    }
    detail.openKey(first);
    QObject *sheet = browser->findChild<QObject *>("detailPopup");
    QMetaObject::invokeMethod(sheet, "open");
    waitUntil([&] { return detail.state() == "image"; }, 20s);
    QObject *image = browser->findChild<QObject *>("fullImage");
    waitUntil([&] { return image && image->property("status").toInt() == 1; }, 5s);
    save(browser, out + "/detail-sheet.png");
    return 0;
}
