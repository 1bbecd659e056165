// The photo browser against a real library, in one run: a real engine holding
// PHOTOS photos of 4-10 MB without thumbnails of their own and one large
// video; the browser window (off screen, 800x600) opened cold (empty disk
// cache) and warm (a new window, the disk cache of the first), the time to
// the first screen of thumbnails each way, and the peak memory with the
// video in view. Then KEYS keys: listing, filter and search times and what
// the list holds in memory.
//   browser_bench [PHOTOS] [VIDEO_MIB] [KEYS]
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

#include "tests/support/ManagerHarness.h"
#include "tests/support/Wait.h"
#include "ui/ImageProviders.h"
#include "ui/PhotoDetailModel.h"
#include "ui/PhotoGridModel.h"
#include "ui/PhotoListService.h"
#include "ui/QmlTypes.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// Each phase's peak is its own.
void resetPeak() { resetPeakMemory(); }

// A phone photo: megapixels and noise chosen so the JPEG is 4-10 MB.
QByteArray photoBytes(int width, int height, quint32 noise)
{
    QImage image(width, height, QImage::Format_RGB32);
    auto *random = QRandomGenerator::global();
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        random->fillRange(line, width);
        for (int x = 0; x < width; ++x)
            line[x] = (line[x] & noise) + qRgb(x * 160 / width, y * 255 / height, 128);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 92);
    return bytes;
}

struct Browser {
    PhotoListService service;
    PhotoGridModel grid{service};
    PhotoDetailModel detail{service};
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;

    Browser(int port, const QString &cacheFolder) : service(port, configFor(cacheFolder))
    {
        engine.addImageProvider("thumbnail", new ThumbnailImageProvider(service));
        engine.addImageProvider("full", new FullImageProvider());
        engine.addImageProvider("icon", new IconImageProvider());
        prepareQmlEngine(engine);
        engine.setInitialProperties({{"grid", QVariant::fromValue(&grid)}, {"detail", QVariant::fromValue(&detail)}});
    }
    static ThumbnailLoaderConfig configFor(const QString &folder)
    {
        ThumbnailLoaderConfig config;
        config.diskFolder = folder;
        return config;
    }

    // The photos whose cells are on screen.
    QStringList shownKeys() const
    {
        QList<QQuickItem *> cells;
        collect(window->contentItem(), cells);
        QStringList keys;
        for (QQuickItem *cell : cells) {
            const QString source = cell->property("source").toString();
            if (!source.endsWith(".mov"))
                keys << QUrl::fromPercentEncoding(source.mid(QStringLiteral("image://thumbnail/").size()).toLatin1());
        }
        return keys;
    }

    // Seconds from opening the window to every visible photo's thumbnail
    // shown; -1 if that never happened.
    double open()
    {
        QElapsedTimer timer;
        timer.start();
        engine.load(QUrl(kBrowseWindowQml));
        window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
        if (!window)
            return -1;
        window->resize(800, 600);
        window->show();
        QCoro::waitFor(service.fetchPhotos());
        const bool shown = waitUntil([&] { return allShown(); }, 120s);
        return shown ? timer.nsecsElapsed() / 1e9 : -1;
    }

    bool allShown() const
    {
        QList<QQuickItem *> cells;
        collect(window->contentItem(), cells);
        int photos = 0, shown = 0;
        for (QQuickItem *cell : cells) {
            if (cell->property("source").toString().endsWith(".mov"))
                continue;
            ++photos;
            shown += cell->property("status").toInt() == 1 ? 1 : 0;
        }
        return photos > 0 && shown == photos;
    }
    static void collect(QQuickItem *item, QList<QQuickItem *> &out)
    {
        if (item->objectName() == QLatin1String("thumbnail"))
            out << item;
        for (QQuickItem *child : item->childItems())
            collect(child, out);
    }
};

double msOf(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int photos = argc > 1 ? atoi(argv[1]) : 300;
    const qint64 videoMib = argc > 2 ? atoll(argv[2]) : 1536;
    const int keyCount = argc > 3 ? atoi(argv[3]) : 100000;

    EngineHarness engine;
    if (!engine.start()) {
        std::fputs("the engine did not start\n", stderr);
        return 1;
    }
    // Six distinct originals from 12 to 24 megapixels, each stored under
    // many names (each name is its own object, decoded on its own).
    QElapsedTimer timer;
    timer.start();
    QList<QByteArray> originals;
    for (int i = 0; i < 6; ++i)
        originals << photoBytes(i < 3 ? 4000 : 6000, i < 3 ? 3000 : 4000, i < 3 || i % 2 ? 0x001f1f1f : 0x000f0f0f);
    QStringList keys;
    for (int i = 0; i < photos; ++i)
        keys << QStringLiteral("Pixel_1a2B/2024/%1/%2/IMG_%3.jpg").arg(1 + i % 12, 2, 10, QChar('0')).arg(1 + i % 28, 2, 10, QChar('0')).arg(i, 4, 10, QChar('0'));
    qint64 stored = 0;
    if (!putObjects(engine.ports.s3, "photos", keys, [&](const QString &key) {
            const QByteArray &bytes = originals.at(int(qHash(key) % 6));
            stored += bytes.size();
            return bytes;
        })) {
        std::fputs("storing the photos failed\n", stderr);
        return 1;
    }
    // The video is the newest item: first in the grid, in view from the start.
    if (videoMib > 0 && !putSparseObject(engine.ports.s3, "photos", "Pixel_1a2B/2025/01/01/VID_0001.mov", videoMib << 20, std::chrono::minutes(10))) {
        std::fputs("storing the video failed\n", stderr);
        return 1;
    }
    auto sizes = [&] {
        qint64 smallest = LLONG_MAX, largest = 0;
        for (const QByteArray &b : originals) {
            smallest = std::min(smallest, qint64(b.size()));
            largest = std::max(largest, qint64(b.size()));
        }
        return std::pair{smallest, largest};
    }();
    std::printf("stored %d photos (%.1f-%.1f MB each, %.2f GB) and a %lld MiB video in %.1f s\n", photos, sizes.first / 1e6,
                sizes.second / 1e6, stored / 1e9, qlonglong(videoMib), timer.elapsed() / 1000.0);

    QTemporaryDir cache;
    double cold = -1, warm = -1;
    qint64 peakColdKb = 0;
    QStringList onScreen;
    {
        resetPeak();
        Browser browser(engine.ports.s3, cache.path() + "/thumbnails");
        cold = browser.open();
        onScreen = browser.shownKeys();
        // The video stays in view a while: it must not be fetched meanwhile.
        waitUntil([] { return false; }, 2s);
        peakColdKb = processStatusBytes("VmHWM:") / 1024;
    }
    {
        Browser browser(engine.ports.s3, cache.path() + "/thumbnails");
        warm = browser.open();
    }
    // The baseline: only fetching the originals of the same cells, one
    // after another, without decoding any.
    QNetworkAccessManager network;
    timer.restart();
    qint64 fetched = 0;
    for (const QString &key : onScreen) {
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl::fromEncoded(
            QStringLiteral("http://127.0.0.1:%1/photos/").arg(engine.ports.s3).toLatin1() + QUrl::toPercentEncoding(key, "/")))));
        waitUntil([&] { return reply->isFinished(); }, 60s);
        fetched += reply->readAll().size();
    }
    const double bare = timer.nsecsElapsed() / 1e9;
    std::printf("first screen of thumbnails (%lld cells): cold %.2f s (goal <= 2 s), warm %.2f s (goal <= 0.3 s); "
                "fetching their originals alone %.2f s (%.0f MB): cold/fetch %.2f, warm/fetch %.2f\n",
                qlonglong(onScreen.size()), cold, warm, bare, fetched / 1e6, cold / bare, warm / bare);
    std::printf("peak RSS with the video in view: %.0f MiB (goal <= 400 MiB)\n", peakColdKb / 1024.0);

    // A large library's list: listing, filtering by device and searching.
    QStringList many;
    for (int i = 0; i < keyCount; ++i)
        many << QStringLiteral("%1/2024/%2/%3/IMG_%4.jpg")
                    .arg(i % 5 == 0 ? "Laptop" : "Pixel_1a2B")
                    .arg(1 + i % 12, 2, 10, QChar('0'))
                    .arg(1 + i % 28, 2, 10, QChar('0'))
                    .arg(i, 6, 10, QChar('0'));
    timer.restart();
    if (!putObjects(engine.ports.s3, "photos", many, [](const QString &) { return QByteArray("x"); })) {
        std::fputs("storing the keys failed\n", stderr);
        return 1;
    }
    std::printf("stored %d more keys in %.1f s\n", keyCount, timer.elapsed() / 1000.0);
    const qint64 before = processStatusBytes("VmRSS:") / 1024;
    PhotoListService service(engine.ports.s3);
    PhotoGridModel grid(service);
    const double listMs = msOf([&] { QCoro::waitFor(service.fetchPhotos()); });
    const qint64 after = processStatusBytes("VmRSS:") / 1024;
    QList<double> filterMs, searchMs, clearMs;
    for (int round = 0; round < 5; ++round) {
        filterMs << msOf([&] { grid.setSelectedDevice("Laptop"); });
        clearMs << msOf([&] { grid.clearDevice(); });
        searchMs << msOf([&] { grid.setSearchText(QStringLiteral("IMG_0%1").arg(round)); });
        grid.setSearchText(QString());
    }
    auto median = [](QList<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%d items: list %.0f ms, filter %.1f ms, clear %.1f ms, search %.1f ms (goal <= 100 ms); "
                "the list holds %.0f MiB (goal <= 100 MiB)\n",
                service.photoCount(), listMs, median(filterMs), median(clearMs), median(searchMs), (after - before) / 1024.0);
    return 0;
}
