// Getting photos out: many at once, a video streamed, progress, cancel,
// never over an existing file, nothing half-written left behind.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include "tests/support/ManagerHarness.h"
#include "tests/support/Wait.h"
#include "ui/PhotoDetailModel.h"
#include "ui/PhotoExportService.h"
#include "ui/PhotoGridModel.h"
#include "ui/PhotoListService.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

QByteArray md5Of(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

} // namespace

TEST(PhotoExport, ManyPhotosAndAGigabyteVideoWithProgressCancelAndNoOverwrite)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    QStringList keys;
    for (int i = 0; i < 200; ++i)
        keys << QStringLiteral("Cam_0a1b/2024/03/%1/IMG_%2.jpg").arg(1 + i % 28, 2, 10, QChar('0')).arg(i, 4, 10, QChar('0'));
    ASSERT_TRUE(putObjects(engine.ports.s3, "photos", keys, [](const QString &key) { return ("photo " + key).toUtf8().repeated(200); }));
    const QString video = "Cam_0a1b/2024/04/01/VID_0001.mov";
    ASSERT_TRUE(putSparseObject(engine.ports.s3, "photos", video, qint64(1) << 30));
    PhotoListService service(engine.ports.s3);
    PhotoGridModel grid(service);
    QCoro::waitFor(service.fetchPhotos());
    ASSERT_EQ(service.photoCount(), 201);

    // Selected as a user would: all, then the video left out and put back.
    grid.selectAll();
    EXPECT_EQ(grid.selectedCount(), 201);
    const int videoRow = int(std::find_if(grid.filtered().cbegin(), grid.filtered().cend(),
                                          [&](const PhotoItem &p) { return p.key == video; }) - grid.filtered().cbegin());
    grid.select(videoRow, true, false);
    EXPECT_EQ(grid.selectedCount(), 200);
    grid.select(videoRow, true, false);
    EXPECT_EQ(grid.selectedKeys().size(), 201);

    Sandbox sandbox;
    const QString folder = sandbox.path("Exported");
    PhotoExportService exporter(service);
    QList<double> progress;
    QObject::connect(&exporter, &PhotoExportService::progressChanged, [&] { progress << exporter.progress(); });
    const qint64 rssBefore = processStatusBytes("VmRSS:");
    qint64 rssPeak = rssBefore;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { rssPeak = std::max(rssPeak, processStatusBytes("VmRSS:")); });
    sampler.start(50);
    ASSERT_TRUE(exporter.exportKeys(grid.selectedKeys(), QUrl::fromLocalFile(folder).toString()));
    EXPECT_TRUE(exporter.isExporting());
    EXPECT_FALSE(exporter.exportKeys(keys, folder)) << "one export at a time";
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting(); }, 5min)) << exporter.statusText().toStdString();
    sampler.stop();
    EXPECT_EQ(exporter.statusText(), "Saved 201 photos to " + folder) << exporter.statusText().toStdString();
    EXPECT_EQ(exporter.savedPaths().size(), 201);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 201);
    // Progress by bytes: it rose while the video came in, never fell.
    EXPECT_TRUE(std::is_sorted(progress.cbegin(), progress.cend()));
    EXPECT_GE(std::count_if(progress.cbegin(), progress.cend(), [](double p) { return p > 0.05 && p < 0.95; }), 3);
    EXPECT_DOUBLE_EQ(progress.last(), 1.0);
    EXPECT_LT(rssPeak - rssBefore, qint64(64) << 20) << "the video is streamed to disk, not held";
    const PhotoItem *videoItem = service.photoForKey(video);
    ASSERT_TRUE(videoItem);
    EXPECT_EQ(QFileInfo(folder + "/VID_0001.mov").size(), qint64(1) << 30);
    EXPECT_EQ(md5Of(folder + "/VID_0001.mov"), videoItem->etag.toLatin1());
    QFile photo(folder + "/IMG_0007.jpg");
    ASSERT_TRUE(photo.open(QIODevice::ReadOnly));
    EXPECT_EQ(photo.readAll(), ("photo " + keys.at(7)).toUtf8().repeated(200));

    // Again into the same folder: beside, never over.
    ASSERT_TRUE(exporter.exportKeys(keys.mid(0, 3), folder));
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting(); }, 60s));
    EXPECT_TRUE(QFile::exists(folder + "/IMG_0000 (1).jpg"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 204);

    // Cancelled in the middle of the video: nothing half-written is left.
    const QString second = sandbox.path("Second");
    ASSERT_TRUE(exporter.exportKeys({keys.at(0), video, keys.at(1)}, second));
    ASSERT_TRUE(waitUntil([&] { return exporter.progress() > 0.1 || !exporter.isExporting(); }, 60s));
    ASSERT_TRUE(exporter.isExporting()) << "the video went too fast to be cancelled";
    exporter.cancel();
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting(); }, 30s));
    EXPECT_EQ(exporter.statusText(), "Cancelled: saved 1 of 3 to " + second) << exporter.statusText().toStdString();
    EXPECT_EQ(QDir(second).entryList(QDir::Files), QStringList{"IMG_0000.jpg"});

    // An export whose window goes mid-video leaves no partial file and does
    // not go on to the next.
    const QString fourth = sandbox.path("Fourth");
    {
        auto closing = std::make_unique<PhotoExportService>(service);
        ASSERT_TRUE(closing->exportKeys({video, keys.at(1)}, fourth));
        ASSERT_TRUE(waitUntil([&] { return closing->progress() > 0.05; }, 60s));
        closing.reset();
        waitUntil([] { return false; }, 500ms);
    }
    EXPECT_TRUE(QDir(fourth).entryList(QDir::Files).isEmpty()) << QDir(fourth).entryList(QDir::Files).join(' ').toStdString();

    // A photo gone from the store meanwhile is reported, the rest saved.
    httpCall("DELETE", s3Url(engine.ports.s3, "photos", keys.at(2)));
    const QString third = sandbox.path("Third");
    ASSERT_TRUE(exporter.exportKeys({keys.at(2), keys.at(3)}, third));
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting(); }, 30s));
    EXPECT_EQ(exporter.statusText(), "Saved 1 of 2 to " + third + "; 1 failed: IMG_0002.jpg is no longer in the store")
        << exporter.statusText().toStdString();
    EXPECT_EQ(QDir(third).entryList(QDir::Files), QStringList{"IMG_0003.jpg"});

    // A full disk stops the export with its reason and leaves no partial file.
    TmpfsMount small("8m");
    if (!small.ok()) {
        GTEST_SKIP() << "skipped the full-disk case: cannot mount a tmpfs here (" << small.error().toStdString() << ")";
    }
    ASSERT_TRUE(exporter.exportKeys({keys.at(4), video, keys.at(5)}, small.path()));
    ASSERT_TRUE(waitUntil([&] { return !exporter.isExporting(); }, 60s));
    EXPECT_TRUE(exporter.statusText().startsWith("Stopped after 1 of 3: Cannot write " + small.path() + "/VID_0001.mov"))
        << exporter.statusText().toStdString();
    EXPECT_EQ(QDir(small.path()).entryList(QDir::Files), QStringList{"IMG_0004.jpg"});
}

// The sheet saves videos too, and opens a photo in another application
// from a file, not from the gateway's address.
TEST(PhotoExport, TheSheetSavesVideosAndOpensFilesNotAddresses)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    const QString video = "Cam_0a1b/2024/04/01/clip.mov", picture = "Cam_0a1b/2024/04/01/p.jpg";
    ASSERT_TRUE(putObjects(engine.ports.s3, "photos", {video, picture}, [](const QString &key) { return key.toUtf8().repeated(1000); }));
    PhotoListService service(engine.ports.s3);
    QCoro::waitFor(service.fetchPhotos());
    Sandbox sandbox;
    PhotoDetailModel detail(service, sandbox.path("Downloads"));
    QList<QUrl> opened;
    detail.opener = [&](const QUrl &url) {
        opened << url;
        return true;
    };
    QStringList saved;
    QObject::connect(&detail, &PhotoDetailModel::saved, [&](const QString &path) { saved << path; });

    detail.openKey(video);
    EXPECT_EQ(detail.state(), "video");
    EXPECT_TRUE(detail.canSave());
    detail.saveToDownloads();
    ASSERT_TRUE(waitUntil([&] { return saved.size() == 1; }, 20s)) << detail.message().toStdString();
    EXPECT_EQ(saved.first(), sandbox.path("Downloads/clip.mov"));
    EXPECT_EQ(QFileInfo(saved.first()).size(), video.toUtf8().size() * 1000);

    detail.openKey(picture);
    detail.openInDefaultApp();
    ASSERT_TRUE(waitUntil([&] { return opened.size() == 1; }, 20s)) << detail.message().toStdString();
    ASSERT_TRUE(opened.first().isLocalFile()) << opened.first().toString().toStdString();
    EXPECT_TRUE(opened.first().toLocalFile().startsWith(detail.openFolder()));
    // The user's copies, in a folder only they can read.
    EXPECT_EQ(QFileInfo(detail.openFolder()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup | QFileDevice::ExeOther),
              QFileDevice::Permissions());
    QFile copy(opened.first().toLocalFile());
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), picture.toUtf8().repeated(1000));
    QFile::remove(opened.first().toLocalFile());

    // Without an application for it, the user is told where the file is.
    detail.opener = [](const QUrl &) { return false; };
    detail.openInDefaultApp();
    ASSERT_TRUE(waitUntil([&] { return detail.message().startsWith("No application opens p.jpg"); }, 20s))
        << detail.message().toStdString();
}
