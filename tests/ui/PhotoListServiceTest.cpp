#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <ctime>

#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"
#include "ui/ImageDecoder.h"
#include "ui/PhotoExporter.h"
#include "ui/PhotoListService.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

PhotoItem item(const QString &key, const QStringList &others = {})
{
    QSet<QString> all(others.begin(), others.end());
    all.insert(key);
    return PhotoItem::fromKey(key, all);
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage sampleImage(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, 128));
    return image;
}

template <typename T>
T await(QCoro::Task<T> task)
{
    return QCoro::waitFor(std::move(task));
}

} // namespace

TEST(PhotoItem, DecodesDeviceDateVideoAndThumbnailFromTheKey)
{
    PhotoItem pixel = item("Pixel_1a2B/2024/05/17/IMG_0042.jpg", {"Pixel_1a2B/2024/05/17/IMG_0042_thumb.jpg"});
    EXPECT_EQ(pixel.deviceName, "Pixel_1a2B");
    EXPECT_EQ(pixel.dateString, "2024/05/17");
    EXPECT_EQ(pixel.filename, "IMG_0042.jpg");
    EXPECT_FALSE(pixel.isVideo);
    EXPECT_EQ(pixel.thumbnailKey, "Pixel_1a2B/2024/05/17/IMG_0042_thumb.jpg");
    EXPECT_EQ(item("Pixel_1a2B/2024/05/17/IMG_0042.jpg").thumbnailKey, std::nullopt);

    PhotoItem clip = item("Laptop/2023/12/01/clip.MOV");
    EXPECT_EQ(clip.deviceName, "Laptop");
    EXPECT_EQ(clip.dateString, "2023/12/01");
    EXPECT_TRUE(clip.isVideo);
    // A key is never its own thumbnail (a video would be fetched as one);
    // an upper-case extension finds its thumbnail like a lower-case one.
    EXPECT_EQ(clip.thumbnailKey, std::nullopt);
    EXPECT_EQ(item("Laptop/2023/12/01/clip.MOV", {"Laptop/2023/12/01/clip_thumb.jpg"}).thumbnailKey, "Laptop/2023/12/01/clip_thumb.jpg");

    PhotoItem numeric = item("2024/05/17/a.png");
    EXPECT_EQ(numeric.deviceName, "Unknown");
    EXPECT_EQ(numeric.dateString, std::nullopt);
    EXPECT_EQ(item("iPhone/2024/1/17/a.jpg").dateString, std::nullopt);
    EXPECT_EQ(item("iPhone/2024/1/17/a.jpg").deviceName, "iPhone");
    PhotoItem trip = item("a_b/Trip_2024/2024/05/17/x.jpg");
    EXPECT_EQ(trip.deviceName, "Trip_2024");
    EXPECT_EQ(trip.dateString, "2024/05/17");
    EXPECT_EQ(item("noextension").thumbnailKey, std::nullopt);

    // Hostile shapes decode to something harmless.
    for (const char *key : {"", "/", "////", "_ZZZZ/2024/05/17/a.jpg", "x_12345/2024/05/17/a.jpg", "a//b", "+1/2024/05/17/v.mp4"}) {
        const PhotoItem hostile = item(key);
        EXPECT_EQ(hostile.key, key);
        EXPECT_EQ(hostile.filename, QString(key).split('/').last()) << key;
    }
    EXPECT_EQ(item("_ZZZZ/2024/05/17/a.jpg").deviceName, "_ZZZZ");
    EXPECT_EQ(item("_ZZZZ/2024/05/17/a.jpg").dateString, "2024/05/17") << "a first folder is the device even without hex";
    EXPECT_EQ(item("+1/2024/05/17/v.mp4").deviceName, "Unknown");
    EXPECT_TRUE(item("+1/2024/05/17/v.mp4").isVideo);
    EXPECT_EQ(item("////").filename, "");
}

TEST(PhotoListService, ItemsDropThumbnailsAndSortNewestFirstUndatedLast)
{
    const QList<PhotoItem> items = PhotoListService::itemsFromKeys(
        {"misc/a.jpg", "D_0000/2023/01/01/old.jpg", "D_0000/2024/05/17/new.jpg", "D_0000/2024/05/17/new_thumb.jpg",
         "misc/b.jpg", "D_0000/2024/05/17/new2.jpg"});
    QStringList keys;
    for (const PhotoItem &i : items)
        keys << i.key;
    EXPECT_EQ(keys, (QStringList{"D_0000/2024/05/17/new.jpg", "D_0000/2024/05/17/new2.jpg", "D_0000/2023/01/01/old.jpg",
                                 "misc/a.jpg", "misc/b.jpg"}));
    EXPECT_EQ(items.first().thumbnailKey, "D_0000/2024/05/17/new_thumb.jpg");

    // 100,000 keys, half with thumbnails: looked up, not scanned.
    QStringList many;
    for (int i = 0; i < 100000; ++i) {
        const QString key = QStringLiteral("Phone_ab12/2024/%1/%2/IMG_%3.jpg").arg(1 + i % 12, 2, 10, QChar('0')).arg(1 + i % 28, 2, 10, QChar('0')).arg(i);
        many << key;
        if (i % 2 == 0)
            many << QString(key).replace(".jpg", "_thumb.jpg");
    }
    // The thread's own CPU time, not the wall clock: the suite runs tests
    // side by side, and a scan (150k x 50k) would take minutes, not seconds.
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    const qint64 before = cpuMs();
    const QList<PhotoItem> built = PhotoListService::itemsFromKeys(many);
    const qint64 ms = cpuMs() - before;
    EXPECT_EQ(built.size(), 100000);
    EXPECT_EQ(std::count_if(built.begin(), built.end(), [](const PhotoItem &p) { return p.thumbnailKey.has_value(); }), 50000);
    EXPECT_LT(ms, 3000) << ms << " ms of CPU for 150k keys";
}

TEST(ThumbnailCache, StaysWithinItsBudgetDroppingTheLeastRecentlyUsed)
{
    const QImage image = sampleImage(100, 100); // 40,000 bytes
    ThumbnailCache cache(100000);
    cache.put("a", image);
    cache.put("b", image);
    EXPECT_TRUE(cache.get("a").has_value()); // a is now the most recent
    cache.put("c", image);
    EXPECT_LE(cache.bytes(), 100000);
    EXPECT_TRUE(cache.get("a").has_value());
    EXPECT_FALSE(cache.get("b").has_value());
    EXPECT_TRUE(cache.get("c").has_value());
    cache.put("c", sampleImage(10, 10));
    EXPECT_EQ(cache.bytes(), image.sizeInBytes() + sampleImage(10, 10).sizeInBytes());
    // One image over the budget is still kept (it is the one on screen).
    ThumbnailCache tiny(10);
    tiny.put("big", image);
    EXPECT_TRUE(tiny.get("big").has_value());
}

TEST(PhotoListService, PagesWithEncodedTokensAndAPartialListingKeepsItsError)
{
    QList<QByteArray> targets;
    int page = 0;
    bool failSecond = false;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        targets << r.target;
        ++page;
        if (page == 1)
            return FakeS3::Response{200, listPage({"A_0000/2024/01/01/a.jpg"}, true, "tok en&+=/1")};
        if (failSecond)
            return FakeS3::Response{404, ""};
        if (page == 2)
            return FakeS3::Response{200, listPage({"b.jpg"}, true, "t2")};
        return FakeS3::Response{200, listPage({"c.jpg"}, false)};
    });
    ASSERT_TRUE(gateway.listen(0));
    PhotoListService service(gateway.port());
    await(service.fetchPhotos());
    ASSERT_EQ(targets.size(), 3);
    EXPECT_EQ(targets[0], "/photos?list-type=2&max-keys=1000");
    EXPECT_EQ(targets[1], "/photos?list-type=2&max-keys=1000&continuation-token=tok%20en%26%2B%3D%2F1");
    EXPECT_EQ(targets[2], "/photos?list-type=2&max-keys=1000&continuation-token=t2");
    EXPECT_EQ(service.photoCount(), 3);
    EXPECT_FALSE(service.error().has_value());
    EXPECT_FALSE(service.isLoading());

    // A failed page publishes what came before, with the error.
    targets.clear();
    page = 0;
    failSecond = true;
    await(service.fetchPhotos());
    EXPECT_EQ(service.photoCount(), 1);
    EXPECT_EQ(service.error(), "Failed to list objects: HTTP 404");

    // A second listing while one runs changes nothing.
    page = 0;
    failSecond = false;
    FakeS3 slow([&](const FakeS3::Request &) { return FakeS3::Response{200, listPage({"x.jpg"}, false), 300}; });
    ASSERT_TRUE(slow.listen(0));
    PhotoListService busy(slow.port());
    auto first = busy.fetchPhotos();
    EXPECT_TRUE(busy.isLoading());
    await(busy.fetchPhotos());
    await(std::move(first));
    EXPECT_EQ(slow.requests.size(), 1);
    EXPECT_EQ(busy.photoCount(), 1);

    // Nobody listening: the transport error is reported.
    PhotoListService nobody(1);
    await(nobody.fetchPhotos());
    EXPECT_TRUE(nobody.errorText().startsWith("Failed to fetch photos: ")) << nobody.errorText().toStdString();
}

TEST(PhotoListService, ListsAndLoadsFromTheRealEngine)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    // 2,500 keys (three pages), awkward names among them.
    QStringList keys;
    for (int i = 0; i < 2492; ++i)
        keys << QStringLiteral("Pixel_1a2B/2024/05/%1/IMG_%2.jpg").arg(1 + i % 28, 2, 10, QChar('0')).arg(i, 4, 10, QChar('0'));
    keys << "Phone/2023/01/01/with space.jpg" << "Phone/2023/01/01/plus+and&amp.jpg" << QString::fromUtf8("Phone/2023/01/01/Küche.heic")
         << "Phone/2023/01/01/q?x.jpg" << "Phone/2023/01/01/pct%41.jpg" << "loose.png" << "2024/05/17/a.png" << "solo.mov";
    ASSERT_TRUE(putObjects(engine.ports.s3, "photos", keys));
    PhotoListService service(engine.ports.s3);
    await(service.fetchPhotos());
    EXPECT_FALSE(service.error().has_value()) << service.errorText().toStdString();
    ASSERT_EQ(service.photoCount(), 2500);
    QSet<QString> listed;
    for (const PhotoItem &p : service.photos())
        listed.insert(p.key);
    EXPECT_EQ(listed, QSet<QString>(keys.begin(), keys.end()));
    EXPECT_FALSE(service.photos().last().dateString.has_value());

    // Images: a thumbnail beside its JPEG, a PNG, and non-image bytes.
    const QImage big = sampleImage(400, 300), small = sampleImage(80, 60);
    QNetworkAccessManager network;
    auto put = [&](const QString &key, const QByteArray &bytes) {
        std::unique_ptr<QNetworkReply> reply(network.put(
            QNetworkRequest(QUrl::fromEncoded(QStringLiteral("http://127.0.0.1:%1/photos/").arg(engine.ports.s3).toLatin1() +
                                              QUrl::toPercentEncoding(key, "/"))),
            bytes));
        waitUntil([&] { return reply->isFinished(); }, 10s);
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    };
    ASSERT_TRUE(put("Cam_0001/2025/01/02/p.jpg", encoded(big, "JPG")));
    ASSERT_TRUE(put("Cam_0001/2025/01/02/p_thumb.jpg", encoded(small, "JPG")));
    ASSERT_TRUE(put("Cam_0001/2025/01/02/q.png", encoded(big, "PNG")));
    ASSERT_TRUE(put("Cam_0001/2025/01/02/not an image.jpg", "just text"));
    await(service.fetchPhotos());
    auto find = [&](const QString &key) {
        for (const PhotoItem &p : service.photos())
            if (p.key == key)
                return p;
        return PhotoItem{};
    };
    const PhotoItem p = find("Cam_0001/2025/01/02/p.jpg");
    ASSERT_EQ(p.thumbnailKey, "Cam_0001/2025/01/02/p_thumb.jpg");
    const auto thumb = await(service.loadThumbnail(p));
    ASSERT_TRUE(thumb.has_value());
    EXPECT_EQ(thumb->size(), QSize(80, 60));
    EXPECT_EQ(service.thumbnailCache().size(), 1);
    const auto full = await(service.loadFullImage(p));
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->size(), QSize(400, 300));
    EXPECT_EQ(await(service.loadThumbnail(find("Cam_0001/2025/01/02/q.png")))->size(), QSize(400, 300));
    EXPECT_FALSE(await(service.loadThumbnail(find("Cam_0001/2025/01/02/not an image.jpg"))).has_value());
    EXPECT_EQ(service.thumbnailCache().size(), 2) << "what did not decode is not cached";
    const auto original = await(service.loadOriginal(find("Cam_0001/2025/01/02/q.png")));
    ASSERT_TRUE(original.has_value());
    EXPECT_TRUE(*original == encoded(big, "PNG"));
}

TEST(ImageDecoder, DecodesHeicFromPhones)
{
    const QString encoder = QStandardPaths::findExecutable("heif-enc");
    if (encoder.isEmpty())
        GTEST_SKIP() << "heif-enc is not installed (scripts/setup installs libheif-examples)";
    Sandbox sandbox;
    ASSERT_TRUE(sampleImage(64, 48).save(sandbox.path("in.png")));
    QProcess process;
    process.start(encoder, {"-o", sandbox.path("out.heic"), sandbox.path("in.png")});
    ASSERT_TRUE(process.waitForFinished(30000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QFile heic(sandbox.path("out.heic"));
    ASSERT_TRUE(heic.open(QIODevice::ReadOnly));
    const QByteArray bytes = heic.readAll();
    EXPECT_TRUE(ImageDecoder::looksLikeHeif(bytes));
    const auto image = ImageDecoder::decode(bytes);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->size(), QSize(64, 48));
    // A truncated file is no image, and no crash.
    EXPECT_FALSE(ImageDecoder::decode(bytes.first(bytes.size() / 2)).has_value());
    EXPECT_FALSE(ImageDecoder::decode("ftypheic").has_value());
}

TEST(PhotoExporter, SavesTheStoredBytesUnderTheirNameAndNeverOverwrites)
{
    Sandbox sandbox;
    const QString folder = sandbox.path("Downloads");
    const QByteArray bytes("\x00\x01heic bytes", 12);
    auto saved = [&](const QString &name) {
        const auto result = PhotoExporter::saveOriginal(bytes, folder, name);
        return result ? *result : QStringLiteral("error: ") + result.error();
    };
    EXPECT_EQ(saved("IMG_1.heic"), folder + "/IMG_1.heic");
    EXPECT_EQ(saved("IMG_1.heic"), folder + "/IMG_1 (1).heic");
    EXPECT_EQ(saved("IMG_1.heic"), folder + "/IMG_1 (2).heic");
    EXPECT_EQ(saved("README"), folder + "/README");
    EXPECT_EQ(saved("README"), folder + "/README (1)");
    EXPECT_EQ(saved(".hidden"), folder + "/.hidden");
    EXPECT_EQ(saved(".hidden"), folder + "/.hidden (1)");
    QFile first(folder + "/IMG_1.heic");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_TRUE(first.readAll() == bytes);
    for (const char *hostile : {"", ".", "..", "../escape.jpg", "a/b.jpg"})
        EXPECT_TRUE(saved(hostile).startsWith("error: ")) << hostile;
    EXPECT_FALSE(QFile::exists(sandbox.path("escape.jpg")));
}

TEST(PhotoItem, AKeyWithoutFoldersHasNoDevice)
{
    EXPECT_EQ(item("loose.jpg").deviceName, "Unknown");
    EXPECT_EQ(item("Phone_00ff").deviceName, "Phone_00ff") << "the hex rule still holds, as for any component";
}

// Found by fuzzing: the thumbnail was looked for by replacing ".ext" all
// through the key, so a key without an extension was its own thumbnail and
// a folder named like a file's extension was rewritten too.
TEST(PhotoItem, TheThumbnailReplacesOnlyTheFilesOwnExtension)
{
    EXPECT_EQ(item("Cam_0001/a.jpg.d/b.jpg", {"Cam_0001/a.jpg.d/b_thumb.jpg"}).thumbnailKey, "Cam_0001/a.jpg.d/b_thumb.jpg");
    EXPECT_FALSE(item("Cam_0001/a.jpg.d/b.jpg", {"Cam_0001/a_thumb.jpg.d/b_thumb.jpg"}).thumbnailKey.has_value());
    EXPECT_FALSE(item("Cam_0001/2024/01/01/IMG").thumbnailKey.has_value());
    EXPECT_EQ(item("Cam_0001/2024/01/01/IMG", {"Cam_0001/2024/01/01/IMG_thumb.jpg"}).thumbnailKey, "Cam_0001/2024/01/01/IMG_thumb.jpg");
    EXPECT_FALSE(item("").thumbnailKey.has_value());
    EXPECT_EQ(item("v.tar.MOV", {"v.tar_thumb.jpg"}).thumbnailKey, "v.tar_thumb.jpg");
    // Nor is a date read from parts that only start like numbers.
    EXPECT_FALSE(item(QString::fromUtf8("2/1\0\x12" "4/05/17/a.png", 18)).dateString.has_value());
    EXPECT_FALSE(item("Cam_0001/2O24/05/17/a.png").dateString.has_value());
    EXPECT_FALSE(item("20/2025/-5/-5/").dateString.has_value());
    EXPECT_EQ(item("Cam_0001/2024/05/17/a.png").dateString, "2024/05/17");
}
