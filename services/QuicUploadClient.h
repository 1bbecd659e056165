#pragma once

#include <QFile>
#include <QObject>
#include <QTimer>
#include <memory>

#include "platform/QuicConnection.h"

namespace tavrolin {

// Uploads files to a server's QUIC receiver, one after another on one
// stream, each answered before the next is sent.
class QuicUploadClient : public QObject {
    Q_OBJECT
public:
    struct Item {
        QString path;
        QString bucket = QStringLiteral("photos");
        QString key;
        QString contentType;
    };
    struct Result {
        QString path;
        QByteArray reply; // "OK", an "ERROR: ..." text, or empty when none came
        QString error;    // transport failure, when there was no reply
    };

    explicit QuicUploadClient(QObject *parent = nullptr);
    ~QuicUploadClient() override;

    // Starts; `finished` follows once every item has its result.
    void upload(const QHostAddress &host, quint16 port, const QList<Item> &items);
    QList<Result> results() const { return m_results; }

    // Replies to one file are one of these texts, sent without a
    // delimiter; the length of a reply follows from its first bytes.
    static qsizetype replyLength(const QByteArray &buffered, bool streamEnded = false);

    // Where the browser looks for a file: "<device>/YYYY/MM/DD/<name>", the
    // date the file's (its modification time, local), so it is shown with
    // its device and day instead of undated at the end.
    static QString libraryKey(const QString &path, const QString &deviceFolder);
    // This machine as a device folder: its host name (letters, digits, "-"
    // kept) and "_" with four hex digits of the name's hash, as phones name
    // theirs.
    static QString deviceFolderFor(const QString &hostName);

Q_SIGNALS:
    void finished();

private:
    void onHandshake();
    void sendNext();
    void pump();
    void onData(int64_t stream, const QByteArray &bytes, bool fin);
    void failAll(const QString &error);
    void done();

    UdpSocket m_socket;
    std::unique_ptr<QuicConnection> m_connection;
    QList<Item> m_items;
    QList<Result> m_results;
    int64_t m_stream = -1;
    QFile m_file;
    qint64 m_left = 0;
    QByteArray m_replies;
    bool m_finished = false;
    QTimer m_closeTimer;
};

} // namespace tavrolin
