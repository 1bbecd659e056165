// The "photos" bucket and the count of stored objects.

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include "platform/DiagnosticLog.h"
#include "server/S3ListParser.h"
#include "server/S3Listing.h"
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

    for (int attempt = 1; attempt <= kBucketAttempts; ++attempt) {
        QNetworkRequest request(url);
        request.setTransferTimeout(60000);
        std::unique_ptr<QNetworkReply> reply(m_network->put(request, QByteArray()));
        co_await reply.get();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            const int code = status.toInt();
            // 409: the bucket exists already.
            if (code == 200 || code == 409) {
                diagLog(QStringLiteral("Default 'photos' bucket ready"));
                setBucketReady(true);
                co_return;
            }
            diagLog(QStringLiteral("Failed to create bucket (attempt %1): HTTP %2").arg(attempt).arg(code));
        } else {
            diagLog(QStringLiteral("Failed to create default bucket (attempt %1): %2").arg(attempt).arg(reply->errorString()));
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

    qint64 total = 0;
    std::optional<QString> token;
    bool complete = false;
    for (;;) {
        const QUrl pageUrl = S3Listing::pageUrl(s3BaseUrl(), QStringLiteral("photos"), token);
        if (!pageUrl.isValid())
            break;
        const S3ListPage page = co_await S3Listing::fetchPage(*m_network, pageUrl, 30000);
        if (!page.transportError.isEmpty()) {
            diagLog(QStringLiteral("Failed to count objects: ") + page.transportError);
            break;
        }
        if (page.status != 200) {
            diagLog(QStringLiteral("Failed to list objects: HTTP %1").arg(page.status));
            break;
        }
        if (!page.parseError.isEmpty()) {
            diagLog(QStringLiteral("Failed to list objects: malformed page (%1)").arg(page.parseError));
            break;
        }
        for (const QString &key : page.keys)
            if (!key.endsWith(kThumbnailSuffix))
                ++total;
        if (page.isTruncated && page.nextContinuationToken) {
            token = page.nextContinuationToken;
            continue;
        }
        complete = true;
        break;
    }

    m_countInProgress = false;
    if (!complete) {
        // A part of the listing is not the number of stored photos.
        diagLog(QStringLiteral("Object count not updated; keeping %1 objects").arg(m_objectCount));
        co_return;
    }
    setObjectCount(total);
    diagLog(QStringLiteral("Object count updated: %1 objects").arg(total));
}

void ServerManager::startObjectCountTimer()
{
    if (m_objectCountTimer) {
        m_objectCountTimer->stop();
        m_objectCountTimer->deleteLater();
    }
    m_objectCountTimer = new QTimer(this);
    m_objectCountTimer->setInterval(m_config.countIntervalMs);
    connect(m_objectCountTimer, &QTimer::timeout, this, [self = QPointer<ServerManager>(this)] {
        if (self)
            self->updateObjectCount();
    });
    m_objectCountTimer->start();
}

} // namespace tavrolin
