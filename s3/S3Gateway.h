#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QIODevice>
#include <QCoro/QCoroTask>
#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

#include "s3/S3Listing.h"

class QFileDevice;
class QNetworkAccessManager;
class QNetworkReply;

namespace tavrolin {

// What the gateway answered to one request.
struct GatewayResult {
    int status = -1;            // HTTP status; -1 without an HTTP answer
    QString error;              // no answer, a broken transfer, or our side failed
    bool localError = false;    // the error is ours (writing the file), not the gateway's
    qint64 contentLength = -1;  // the answer's Content-Length, -1 without one
    QString contentType;        // the answer's Content-Type, empty without one
    QByteArray body;            // the answer's body, for the calls that keep it
    bool ok() const { return error.isEmpty() && status >= 200 && status <= 299; }
};

// A file as a PUT reads it, hashed on the way, so that what the gateway
// stored can be checked against what was sent. A read from anywhere but
// where the last one ended (a resent body) starts the hash anew from there
// only when that is the start.
class HashingReader : public QIODevice {
public:
    explicit HashingReader(std::unique_ptr<QFile> file) : m_file(std::move(file))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 size() const override { return m_file->size(); }
    bool seek(qint64 pos) override
    {
        if (!QIODevice::seek(pos) || !m_file->seek(pos))
            return false;
        m_hash.reset();
        m_whole = pos == 0;
        return true;
    }
    // The MD5 of every byte read, when they were read in one pass from the start.
    std::optional<QByteArray> md5() const { return m_whole ? std::optional(m_hash.result()) : std::nullopt; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = m_file->read(data, max);
        if (n > 0)
            m_hash.addData(QByteArrayView(data, n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    std::unique_ptr<QFile> m_file;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    bool m_whole = true;
};


// The client side of the engine's S3 gateway on loopback: every layer that
// stores or fetches an object goes through here. Bodies stream: a PUT reads
// its file as it goes, a GET into a file holds at most the read buffer.
// Each call's result is all a caller needs; it may be awaited by a caller
// that is destroyed meanwhile (the transfers are aborted, the calls return).
class S3Gateway {
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    static constexpr qint64 kUnbounded = -1;

    // The network manager is the caller's, with no proxy.
    S3Gateway(QNetworkAccessManager &network, int transferTimeoutMs) : m_network(network), m_timeoutMs(transferTimeoutMs) {}

    // PUT of a whole file, read as it is sent and hashed on the way: when
    // what the gateway stored is not what was read (its ETag is not the
    // file's MD5), the object is removed and the call fails.
    QCoro::Task<GatewayResult> putFile(QUrl url, QString path, qint64 size, QString contentType);
    QCoro::Task<GatewayResult> head(QUrl url);
    // GET into an open file; only a 2xx body is written. A write that fails
    // aborts the transfer. onStarted is handed the transfer while it runs,
    // for a caller that may want to abort it.
    QCoro::Task<GatewayResult> getToFile(QUrl url, QFileDevice *out, qint64 readBufferBytes = qint64(1) << 20,
                                         std::function<void(QNetworkReply *)> onStarted = {});
    // Any request with a small body whose answer is kept in memory; an
    // answer longer than maxAnswerBytes is cut off and fails as ours (its
    // status stays, its body is dropped).
    QCoro::Task<GatewayResult> send(QByteArray verb, QUrl url, QByteArray body = {}, Headers headers = {},
                                    qint64 maxAnswerBytes = qint64(1) << 20);
    // One ListObjectsV2 page (S3Listing::pageUrl builds the address).
    QCoro::Task<S3ListPage> listPage(QUrl url);
    // Every page of a bucket in turn, each 200 page handed to onPage
    // (a page cut short hands on what it held). The page that ended the walk
    // early, or nothing once the last page is read.
    QCoro::Task<std::optional<S3ListPage>> forEachPage(QString baseUrl, QString bucket,
                                                       std::function<void(const S3ListPage &)> onPage);

    // For callers that drive a streaming transfer themselves (an upload fed
    // from a pipe, a proxied request): the request as every call here makes
    // it, and the answer read the same way.
    static QNetworkRequest request(const QUrl &url, int transferTimeoutMs);
    static GatewayResult resultOf(QNetworkReply &reply);
    // Why a stored object is not the body whose MD5 is given, empty when it
    // is or when the ETag cannot tell (none, or a multipart upload's).
    static QString integrityProblem(QByteArray etag, const QByteArray &md5);
    // A PUT whose body is read as it is sent, never held whole (an upload
    // fed from the network); the body becomes the reply's, the reply the
    // caller's.
    QNetworkReply *startPut(const QUrl &url, QIODevice *body, qint64 size, const QString &contentType);

private:
    QNetworkAccessManager &m_network;
    int m_timeoutMs;
};

} // namespace tavrolin
