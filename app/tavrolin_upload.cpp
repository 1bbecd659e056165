// tavrolin-upload HOST FILE... [--key K] [--bucket B] [--port P]
// Uploads files to a Tavrolin server on the LAN over QUIC.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostInfo>
#include <QSysInfo>
#include <cstdio>

#include "services/QuicUploadClient.h"

using namespace tavrolin;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrolin-upload"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Uploads files to a Tavrolin server over QUIC (UDP port 8444)."));
    parser.addHelpOption();
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Object key (one file only; default: <this computer>_<4 hex>/YYYY/MM/DD/<file name>, dated by the file's modification time, where the browser shows it with its device and day)."),
                                 QStringLiteral("K"));
    const QCommandLineOption bucket(QStringLiteral("bucket"), QStringLiteral("Bucket (default photos)."), QStringLiteral("B"),
                                    QStringLiteral("photos"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("UDP port (default 8444)."), QStringLiteral("P"),
                                  QStringLiteral("8444"));
    parser.addOptions({key, bucket, port});
    parser.addPositionalArgument(QStringLiteral("host"), QStringLiteral("The server's name or address."));
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Files to upload."), QStringLiteral("FILE..."));
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.size() < 2)
        parser.showHelp(2);
    if (parser.isSet(key) && args.size() != 2) {
        std::fputs("--key names one object: give one file with it\n", stderr);
        return 2;
    }

    QHostAddress address(args.first());
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(args.first());
        if (info.addresses().isEmpty()) {
            std::fprintf(stderr, "Cannot resolve %s: %s\n", qPrintable(args.first()), qPrintable(info.errorString()));
            return 2;
        }
        address = info.addresses().first();
    }
    QList<QuicUploadClient::Item> items;
    const QString device = QuicUploadClient::deviceFolderFor(QSysInfo::machineHostName());
    for (const QString &file : args.mid(1))
        items.append({file, parser.value(bucket),
                      parser.isSet(key) ? parser.value(key) : QuicUploadClient::libraryKey(file, device), {}});

    QuicUploadClient client;
    int failures = 0;
    QObject::connect(&client, &QuicUploadClient::finished, &app, [&] {
        for (const auto &result : client.results()) {
            const bool ok = result.reply == "OK";
            failures += ok ? 0 : 1;
            std::printf("%s %s\n", qPrintable(result.path),
                        ok ? "OK" : qPrintable(result.reply.isEmpty() ? "ERROR: " + result.error : QString::fromUtf8(result.reply)));
        }
        app.exit(failures == 0 ? 0 : 1);
    });
    client.upload(address, quint16(parser.value(port).toUInt()), items);
    return app.exec();
}
