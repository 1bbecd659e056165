// tavrolin-tunnel [options] get BUCKET/KEY OUT | put FILE BUCKET/KEY | request METHOD PATH [BODY-FILE]
// Reaches a Tavrolin server from anywhere through its WebRTC tunnel,
// signalled through the shared cloud folder.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <filesystem>

#include "platform/AppPaths.h"
#include "platform/DiagnosticLog.h"
#include "platform/FolderRecordStore.h"
#include "platform/SyncFolderDrive.h"
#include "platform/Validators.h"
#include "s3/S3ObjectUrl.h"
#include "tunnel/TunnelClient.h"

using namespace tavrolin;
using namespace HTTPTunnelProtocol;

namespace {

struct Job {
    QString command;
    QStringList args;
};

// "/" + bucket + "/" + the key, each segment encoded as the gateway reads it.
std::optional<QString> objectPath(const QString &bucketAndKey)
{
    const qsizetype slash = bucketAndKey.indexOf(u'/');
    if (slash <= 0)
        return std::nullopt;
    const QString bucket = bucketAndKey.left(slash), key = bucketAndKey.mid(slash + 1);
    if (!S3ObjectUrl::isValidBucketName(bucket) || !Validators::isValidObjectKey(key))
        return std::nullopt;
    const auto url = S3ObjectUrl::objectUrl(QStringLiteral("http://localhost"), bucket, key);
    if (!url)
        return std::nullopt;
    return url->path(QUrl::FullyEncoded);
}

void printError(const TunnelError &error) { std::fprintf(stderr, "Tunnel error %lld: %s\n", error.code, qPrintable(error.message)); }

// The response's status, and its body when it is text worth reading.
void printResponse(const TunnelResponse &response, bool withBody)
{
    std::fprintf(stderr, "HTTP %lld\n", response.statusCode);
    if (!withBody)
        return;
    if (!response.bodyFile.isEmpty()) {
        QFile file(response.bodyFile);
        if (file.open(QIODevice::ReadOnly)) {
            while (!file.atEnd()) {
                const QByteArray piece = file.read(1024 * 1024);
                std::fwrite(piece.constData(), 1, size_t(piece.size()), stdout);
            }
        }
    } else if (response.body && !response.body->isEmpty()) {
        std::fwrite(response.body->constData(), 1, size_t(response.body->size()), stdout);
        if (!response.body->endsWith('\n'))
            std::fputc('\n', stdout);
    }
}

QCoro::Task<int> run(TunnelClient &client, QString server, Job job)
{
    QElapsedTimer clock;
    clock.start();
    const auto failure = co_await client.connectToServer(server);
    const double connectSeconds = double(clock.nsecsElapsed()) / 1e9;
    if (failure) {
        co_await client.close();
        std::fprintf(stderr, "Cannot open the tunnel: %s\n", qPrintable(*failure));
        co_return 3;
    }
    TunnelRequest request;
    QString out;
    if (job.command == QLatin1String("get")) {
        const auto path = objectPath(job.args.value(0));
        if (!path) {
            std::fprintf(stderr, "Not an object name: %s (give BUCKET/KEY)\n", qPrintable(job.args.value(0)));
            co_return 2;
        }
        request = {{}, QStringLiteral("GET"), *path, {}, std::nullopt, {}};
        out = job.args.value(1);
    } else if (job.command == QLatin1String("put")) {
        const auto path = objectPath(job.args.value(1));
        if (!path) {
            std::fprintf(stderr, "Not an object name: %s (give BUCKET/KEY)\n", qPrintable(job.args.value(1)));
            co_return 2;
        }
        QFile file(job.args.value(0));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "Cannot read %s: %s\n", qPrintable(file.fileName()), qPrintable(file.errorString()));
            co_return 2;
        }
        // Read as it goes out, so a file of any size can be sent.
        request = {{}, QStringLiteral("PUT"), *path, {}, std::nullopt, file.fileName()};
    } else {
        request = {{}, job.args.value(0).toUpper(), job.args.value(1), {}, std::nullopt, {}};
        if (job.args.size() > 2) {
            QFile file(job.args.value(2));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "Cannot read %s: %s\n", qPrintable(file.fileName()), qPrintable(file.errorString()));
                co_return 2;
            }
            request.body = file.readAll();
            request.headers.insert(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
        }
    }

    // A line every tenth of a long upload.
    int shownTenths = 0;
    const QMetaObject::Connection progress =
        QObject::connect(&client, &TunnelClient::sendProgress, [&shownTenths](const QString &, qint64 sent, qint64 total) {
            const int tenths = total > 0 ? int(sent * 10 / total) : 10;
            if (total < 10 * 1024 * 1024 || tenths <= shownTenths)
                return;
            shownTenths = tenths;
            std::fprintf(stderr, "Sent %lld of %lld bytes (%d%%)\n", sent, total, tenths * 10);
        });
    clock.restart();
    const TunnelClient::Answer result = co_await client.send(std::move(request));
    QObject::disconnect(progress);
    const double transferSeconds = double(clock.nsecsElapsed()) / 1e9;
    co_await client.close();
    if (!result) {
        printError(result.error());
        co_return 1;
    }
    const TunnelResponse &response = *result;
    // A large body arrives in a file beside OUT; whatever is not moved into
    // place is removed.
    const QString bodyFile = response.bodyFile;
    const auto dropFile = qScopeGuard([&] {
        if (!bodyFile.isEmpty())
            QFile::remove(bodyFile);
    });
    const bool ok = response.statusCode >= 200 && response.statusCode < 300;
    if (job.command != QLatin1String("get") || !ok) {
        printResponse(response, job.command == QLatin1String("request") || !ok);
        co_return ok ? 0 : 1;
    }
    qint64 size = 0;
    if (!bodyFile.isEmpty()) {
        // Same folder, so the rename puts the whole file in place at once.
        std::error_code error;
        std::filesystem::rename(bodyFile.toStdString(), out.toStdString(), error);
        if (error) {
            std::fprintf(stderr, "Cannot write %s: %s\n", qPrintable(out), error.message().c_str());
            co_return 1;
        }
        size = QFileInfo(out).size();
    } else {
        // Whole or not at all: a failed write leaves any earlier file as it was.
        QSaveFile file(out);
        const QByteArray body = response.body.value_or(QByteArray());
        if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
            std::fprintf(stderr, "Cannot write %s: %s\n", qPrintable(out), qPrintable(file.errorString()));
            co_return 1;
        }
        size = body.size();
    }
    std::fprintf(stderr, "%lld bytes written to %s in %.2f s (%.1f MB/s; the session took %.2f s to open)\n", size,
                 qPrintable(out), transferSeconds, transferSeconds > 0 ? double(size) / 1e6 / transferSeconds : 0.0,
                 connectSeconds);
    co_return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrolin-tunnel"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reaches a Tavrolin server through its remote tunnel, signalled through the shared cloud folder.\n\n"
        "  get BUCKET/KEY OUT           download an object into OUT\n"
        "  put FILE BUCKET/KEY          upload FILE as an object\n"
        "  request METHOD PATH [BODY]   any request (e.g. POST /api/tavro/register-device body.json)"));
    parser.addHelpOption();
    const QCommandLineOption cloudFolder(QStringLiteral("cloud-folder"),
                                         QStringLiteral("The folder shared with the server (default: the one the server uses)."),
                                         QStringLiteral("DIR"));
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("The server's device id (default: the online server seen last)."),
                                    QStringLiteral("ID"));
    const QCommandLineOption stun(QStringLiteral("stun"), QStringLiteral("A STUN server to use (repeatable; default: public ones)."),
                                  QStringLiteral("URL"));
    const QCommandLineOption noStun(QStringLiteral("no-stun"), QStringLiteral("Use no STUN server."));
    const QCommandLineOption localOnly(QStringLiteral("local-only"),
                                       QStringLiteral("Connect over this machine's loopback only (a server on this machine)."));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Seconds to wait for the session (default 60)."),
                                     QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Write diagnostics to stderr."));
    parser.addOptions({cloudFolder, server, stun, noStun, localOnly, timeout, verbose});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("get, put or request"));
    parser.process(app);

    initDiagnosticsFromEnvironment();
    if (parser.isSet(verbose))
        setDiagnosticsEnabled(true);

    const QStringList args = parser.positionalArguments();
    Job job{args.value(0), args.mid(1)};
    const bool valid = (job.command == QLatin1String("get") && job.args.size() == 2)
                       || (job.command == QLatin1String("put") && job.args.size() == 2)
                       || (job.command == QLatin1String("request") && (job.args.size() == 2 || job.args.size() == 3));
    if (!valid)
        parser.showHelp(2);

    if (job.command == QLatin1String("get") && !QFileInfo(QFileInfo(job.args.value(1)).absolutePath()).isDir()) {
        std::fprintf(stderr, "The folder of %s does not exist\n", qPrintable(job.args.value(1)));
        return 2;
    }

    QString folder = parser.value(cloudFolder);
    if (folder.isEmpty())
        folder = AppPaths::userSettings()->value(QString::fromLatin1(SyncFolderDrive::kSettingKey)).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "No shared cloud folder: give one with --cloud-folder\n");
        return 2;
    }
    folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());

    TunnelClientConfig config;
    if (parser.isSet(noStun))
        config.webrtc.iceServers.clear();
    else if (parser.isSet(stun))
        config.webrtc.iceServers = parser.values(stun);
    config.webrtc.loopbackOnly = parser.isSet(localOnly);
    config.connectTimeout = std::chrono::seconds(std::max(1, parser.value(timeout).toInt()));
    if (job.command == QLatin1String("get"))
        config.tempDir = QFileInfo(job.args.value(1)).absolutePath();

    SyncFolderDrive drive([folder] { return folder; });
    FolderRecordStore store(drive);
    TunnelClient client(store, config);
    int status = 1;
    QTimer::singleShot(0, &app, [&] {
        [](TunnelClient &c, QString id, Job j, int &out) -> QCoro::Task<> {
            out = co_await run(c, std::move(id), std::move(j));
            QCoreApplication::exit(out);
        }(client, parser.value(server), job, status);
    });
    app.exec();
    return status;
}
