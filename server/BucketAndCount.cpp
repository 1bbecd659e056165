// The "photos" bucket and the count of stored objects.

#include <QCoro/QCoroTimer>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QUuid>

#include <algorithm>

#include "platform/DiagnosticLog.h"
#include "s3/S3Gateway.h"
#include "s3/S3ObjectUrl.h"
#include "server/ServerManager.h"

namespace tavrolin {

namespace {
constexpr int kBucketAttempts = 5;
const QString kThumbnailSuffix = QStringLiteral("_thumb.jpg");
} // namespace

QCoro::Task<> ServerManager::createDefaultBucket()
{
    const QUrl url(s3BaseUrl() + QStringLiteral("/photos"));
    if (!url.isValid())
        co_return;

    S3Gateway gateway(*m_network, 60000);
    for (int attempt = 1; attempt <= kBucketAttempts; ++attempt) {
        const GatewayResult answer = co_await gateway.send("PUT", url);
        if (answer.status >= 0) {
            const int code = answer.status;
            // 409: the bucket exists already.
            if (code == 200 || code == 409) {
                diagLog(QStringLiteral("Default 'photos' bucket ready"));
                setBucketReady(true);
                co_return;
            }
            diagLog(QStringLiteral("Failed to create bucket (attempt %1): HTTP %2").arg(attempt).arg(code));
        } else {
            diagLog(QStringLiteral("Failed to create default bucket (attempt %1): %2").arg(attempt).arg(answer.error));
        }
        if (attempt < kBucketAttempts)
            co_await sleepSeconds(attempt);
    }
    setBucketReady(false);
    diagLog(QStringLiteral("Warning: Could not create 'photos' bucket after %1 attempts").arg(kBucketAttempts));
}

QCoro::Task<> ServerManager::updateObjectCount()
{
    if (!m_isRunning)
        co_return;
    // A tick while a count still waits for its pages starts no second one.
    if (m_countInProgress)
        co_return;
    m_countInProgress = true;
    m_lastCountComplete = false;

    S3Gateway gateway(*m_network, 30000);
    qint64 total = 0;
    const std::optional<S3ListPage> failed =
        co_await gateway.forEachPage(s3BaseUrl(), QStringLiteral("photos"), [&total](const S3ListPage &page) {
            for (const QString &key : page.keys)
                if (!key.endsWith(kThumbnailSuffix))
                    ++total;
        });
    if (failed) {
        if (!failed->transportError.isEmpty())
            diagLog(QStringLiteral("Failed to count objects: ") + failed->transportError);
        else if (failed->status != 200)
            diagLog(QStringLiteral("Failed to list objects: HTTP %1").arg(failed->status));
        else
            diagLog(QStringLiteral("Failed to list objects: malformed page (%1)").arg(failed->parseError));
    }
    const bool complete = !failed;

    m_countInProgress = false;
    m_lastCountComplete = complete;
    if (!complete) {
        // A part of the listing is not the number of stored photos.
        diagLog(QStringLiteral("Object count not updated; keeping %1 objects").arg(m_objectCount));
        co_return;
    }
    setObjectCount(total);
    diagLog(QStringLiteral("Object count updated: %1 objects").arg(total));
}

QCoro::Task<bool> ServerManager::storesTestUpload()
{
    // A multipart upload that is never completed: its part travels through
    // the same volumes as a photo, and an unfinished upload is never listed,
    // so nothing of ours ever shows in the user's bucket.
    const QString key = QStringLiteral("tavrolin-write-check/") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString objectUrl = s3BaseUrl() + QStringLiteral("/photos/") + key;
    S3Gateway gateway(*m_network, 10000);

    // Built apart: g++ 12 mishandles a braced temporary inside co_await.
    S3Gateway::Headers binary;
    binary.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")});
    const GatewayResult initiated = co_await gateway.send("POST", QUrl(objectUrl + QStringLiteral("?uploads")), {}, binary);
    if (initiated.status != 200)
        co_return false;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("<UploadId>([^<]+)</UploadId>")).match(QString::fromUtf8(initiated.body));
    if (!match.hasMatch())
        co_return false;
    QUrlQuery uploadQuery;
    uploadQuery.addQueryItem(QStringLiteral("uploadId"), match.captured(1));

    QUrl partUrl(objectUrl);
    QUrlQuery partQuery = uploadQuery;
    partQuery.addQueryItem(QStringLiteral("partNumber"), QStringLiteral("1"));
    partUrl.setQuery(partQuery);
    const GatewayResult part = co_await gateway.send("PUT", partUrl, QByteArrayLiteral("storage write check"));
    const bool stored = part.status == 200;

    QUrl abortUrl(objectUrl);
    abortUrl.setQuery(uploadQuery);
    const GatewayResult aborted = co_await gateway.send("DELETE", abortUrl);
    if (aborted.status != 204 && aborted.status != 200)
        diagLog(QStringLiteral("Could not remove the write check's upload: HTTP %1").arg(aborted.status));
    co_return stored;
}

QCoro::Task<bool> ServerManager::servesStoredObject()
{
    QUrl listUrl(s3BaseUrl() + QStringLiteral("/photos"));
    listUrl.setQuery(QStringLiteral("list-type=2&max-keys=1"));
    S3Gateway gateway(*m_network, 10000);
    const S3ListPage page = co_await gateway.listPage(listUrl);
    if (page.status != 200)
        co_return false;
    if (page.keys.isEmpty())
        co_return true;
    const std::optional<QUrl> objectUrl = S3ObjectUrl::objectUrl(s3BaseUrl(), QStringLiteral("photos"), page.keys.first());
    if (!objectUrl)
        co_return true; // a key no request can name; nothing to learn from it
    // One byte of a stored object: its volume has registered and answers.
    S3Gateway::Headers firstByte;
    firstByte.append({QByteArrayLiteral("Range"), QByteArrayLiteral("bytes=0-0")});
    const GatewayResult read = co_await gateway.send("GET", *objectUrl, {}, firstByte, 1024);
    // 416: an empty object, which has no byte to serve.
    co_return read.status == 200 || read.status == 206 || read.status == 416;
}

QCoro::Task<bool> ServerManager::waitUntilWritable(int limitSeconds, std::optional<quint64> generation)
{
    for (int i = 1; i <= limitSeconds; ++i) {
        if (m_abortStart || (generation && *generation != m_engineGeneration))
            co_return false;
        const bool stores = co_await storesTestUpload();
        if (stores && co_await servesStoredObject()) {
            diagLog(QStringLiteral("Storage ready for uploads after %1 second(s)").arg(i));
            co_return true;
        }
        if (i < limitSeconds)
            co_await sleepSeconds(1);
    }
    diagLog(QStringLiteral("Warning: the storage did not accept a test upload within %1 seconds").arg(limitSeconds));
    co_return false;
}

QCoro::Task<std::optional<QString>> ServerManager::metadataChangeSignature()
{
    // Listing a large library costs the engine and us a good part of a core;
    // the engine's counters of metadata writes cost one small page, whatever
    // the library's size. Every upload, overwrite and delete (through any
    // door, the S3 gateway included) writes metadata.
    const qint64 engine = enginePid();
    // The engine is given the port only while it is free and exits when it
    // cannot bind it, so an engine running with it is the port's holder:
    // nobody else's numbers can hide a change.
    if (engine <= 0 || !m_seaweedProcess->arguments().contains(metricsArgument()))
        co_return std::nullopt;
    // Not the gateway, but the engine's other loopback port: the same client.
    S3Gateway metrics(*m_network, 5000);
    const GatewayResult answer =
        co_await metrics.send("GET", QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_config.metricsPort)), {}, {},
                              qint64(16) << 20);
    if (answer.status != 200 || !answer.error.isEmpty())
        co_return std::nullopt;
    static const QByteArray kCounter = QByteArrayLiteral("SeaweedFS_filerStore_request_total{");
    static const QList<QByteArray> kReads = {"\"find\"", "\"prefixList\"", "\"list\"", "\"kvGet\""};
    QStringList writes;
    const QByteArray &page = answer.body;
    for (const QByteArray &line : page.split('\n')) {
        if (!line.startsWith(kCounter))
            continue;
        const bool isRead = std::any_of(kReads.begin(), kReads.end(), [&](const QByteArray &t) { return line.contains("type=" + t); });
        if (!isRead)
            writes << QString::fromUtf8(line);
    }
    // The engine's start (our restart included) begins its counters anew: a
    // new pid is a change too.
    writes.sort();
    co_return QString::number(engine) + QLatin1Char('\n') + writes.join(QLatin1Char('\n'));
}

QCoro::Task<> ServerManager::refreshObjectCount(bool force)
{
    if (!m_isRunning || m_countInProgress)
        co_return;
    if (!m_clock.isValid())
        m_clock.start();
    const std::optional<QString> signature = co_await metadataChangeSignature();
    if (!force) {
        if (signature) {
            if (m_countedSignature == signature)
                co_return;
        } else if (m_lastCountAt >= 0 && m_clock.elapsed() - m_lastCountAt < m_config.countIntervalMs) {
            co_return;
        }
    }
    m_lastCountAt = m_clock.elapsed();
    co_await updateObjectCount();
    // A change while the count ran shows in the next look.
    m_countedSignature = m_lastCountComplete ? signature : std::nullopt;
}

void ServerManager::startObjectCountTimer()
{
    if (m_objectCountTimer) {
        m_objectCountTimer->stop();
        m_objectCountTimer->deleteLater();
    }
    m_objectCountTimer = new QTimer(this);
    const int interval = m_config.metricsPort > 0 ? std::min(m_config.changePollMs, m_config.countIntervalMs) : m_config.countIntervalMs;
    m_objectCountTimer->setInterval(interval);
    connect(m_objectCountTimer, &QTimer::timeout, this, [self = QPointer<ServerManager>(this)] {
        if (!self)
            return;
        // The drive fills while the server runs; the popup shows it.
        self->loadStorageInfo();
        self->refreshObjectCount();
    });
    m_objectCountTimer->start();
}

} // namespace tavrolin
