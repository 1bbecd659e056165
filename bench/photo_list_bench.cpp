// The photo list against a bare paging loop over the same listing, and the
// browser's memory after loading many thumbnails (bounded by the cache).
//   photo_list_bench [PHOTOS] [THUMBNAILS_TO_LOAD]
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <cstdio>

#include "s3/S3Gateway.h"
#include "s3/S3Listing.h"
#include "tests/support/ManagerHarness.h"
#include "ui/PhotoListService.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

QCoro::Task<int> barePaging(QNetworkAccessManager &network, int port)
{
    int keys = 0;
    std::optional<QString> token;
    for (;;) {
        S3Gateway gateway(network, 30000);
        const S3ListPage page =
            co_await gateway.listPage(S3Listing::pageUrl(QStringLiteral("http://localhost:%1").arg(port), "photos", token));
        keys += int(page.keys.size());
        if (page.status != 200 || !page.isTruncated || !page.nextContinuationToken)
            co_return keys;
        token = page.nextContinuationToken;
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int photos = argc > 1 ? atoi(argv[1]) : 100000;
    const int toLoad = argc > 2 ? atoi(argv[2]) : 10000;

    EngineHarness engine;
    if (!engine.start()) {
        std::fputs("the engine did not start\n", stderr);
        return 1;
    }
    QImage thumb(256, 192, QImage::Format_RGB32);
    thumb.fill(Qt::darkGreen);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    thumb.save(&buffer, "JPG", 80);

    QStringList keys;
    for (int i = 0; i < photos; ++i) {
        const QString key = QStringLiteral("Phone_ab12/2024/%1/%2/IMG_%3.jpg").arg(1 + i % 12, 2, 10, QChar('0')).arg(1 + i % 28, 2, 10, QChar('0')).arg(i, 6, 10, QChar('0'));
        keys << key;
        if (i % 2 == 0)
            keys << QString(key).replace(".jpg", "_thumb.jpg");
    }
    QElapsedTimer timer;
    timer.start();
    if (!putObjects(engine.ports.s3, "photos", keys, [&](const QString &key) {
            return key.endsWith("_thumb.jpg") ? jpeg : QByteArray("photo");
        })) {
        std::fputs("storing the keys failed\n", stderr);
        return 1;
    }
    std::printf("stored %lld objects in %.1f s\n", qlonglong(keys.size()), timer.elapsed() / 1000.0);

    QNetworkAccessManager network;
    PhotoListService service(engine.ports.s3);
    QList<double> bare, listed;
    for (int round = 0; round < 3; ++round) {
        timer.restart();
        const int n = QCoro::waitFor(barePaging(network, engine.ports.s3));
        bare << timer.nsecsElapsed() / 1e9;
        timer.restart();
        QCoro::waitFor(service.fetchPhotos());
        listed << timer.nsecsElapsed() / 1e9;
        if (n != keys.size() || service.photoCount() != photos) {
            std::fprintf(stderr, "listed %d keys, %d photos\n", n, service.photoCount());
            return 1;
        }
    }
    std::printf("listing %lld keys (%d photos): bare paging %.3f s, photo list %.3f s, ratio %.2f\n", qlonglong(keys.size()), photos,
                median(bare), median(listed), median(listed) / median(bare));

    // Scrolling: every cell's thumbnail, as the grid asks for them.
    const qint64 before = processStatusBytes("VmRSS:") / 1024;
    int loaded = 0;
    timer.restart();
    for (const PhotoItem &item : service.photos()) {
        if (loaded >= toLoad)
            break;
        if (!item.thumbnailKey)
            continue;
        if (QCoro::waitFor(service.loadThumbnail(item)))
            ++loaded;
    }
    std::printf("%d thumbnails loaded in %.1f s: RSS %.1f MiB before, %.1f MiB after; cache %.1f MiB in %lld images "
                "(unbounded it would hold %.1f MiB)\n",
                loaded, timer.elapsed() / 1000.0, before / 1024.0, processStatusBytes("VmRSS:") / 1024 / 1024.0, service.thumbnailCache().bytes() / 1048576.0,
                qlonglong(service.thumbnailCache().size()), loaded * double(thumb.sizeInBytes()) / 1048576.0);
    return 0;
}
