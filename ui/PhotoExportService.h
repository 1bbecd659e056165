#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

#include <QCoro/QCoroTask>

#include "platform/Lifetime.h"
#include "platform/Result.h"
#include "ui/PhotoItem.h"

class QFile;
class QNetworkReply;

namespace tavrolin {

class PhotoListService;

// Saves stored photos and videos to a folder the user chose: each object's
// bytes as stored, streamed to disk (a video never sits in memory), under
// its own name and never over an existing file. One export at a time, with
// progress by bytes and a cancel that leaves no half-written file behind.
class PhotoExportService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isExporting READ isExporting NOTIFY changed)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(int doneCount READ doneCount NOTIFY changed)
    Q_PROPERTY(int totalCount READ totalCount NOTIFY changed)
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
public:
    explicit PhotoExportService(PhotoListService &service, QObject *parent = nullptr);
    ~PhotoExportService() override;

    bool isExporting() const { return m_exporting; }
    double progress() const;
    int doneCount() const { return m_done; }
    int totalCount() const { return int(m_items.size()); }
    QString statusText() const { return m_status; }
    const QStringList &savedPaths() const { return m_saved; }

    // Asks where to save (the desktop's folder dialog); empty: not chosen.
    std::function<QString()> chooseFolder;

    // The listed photos of the keys, into the folder (a path or file: URL).
    Q_INVOKABLE bool exportKeys(const QStringList &keys, const QString &folder);
    // Asks for the folder first.
    Q_INVOKABLE void exportKeysToChosenFolder(const QStringList &keys);
    Q_INVOKABLE void cancel();
    // Puts away the last export's outcome.
    Q_INVOKABLE void clearStatus();

    // One object streamed into a new file in the folder: its path, or why
    // not. For opening a photo in another application.
    QCoro::Task<Result<QString>> saveOne(PhotoItem photo, QString folder);

Q_SIGNALS:
    void changed();
    void progressChanged();
    void finished();

private:
    QCoro::Task<> run(QList<PhotoItem> items, QString folder);
    void setStatus(const QString &text);

    PhotoListService &m_service;
    bool m_exporting = false;
    bool m_cancelled = false;
    bool m_folderFailed = false; // the last failure was the folder's, not the item's
    QList<PhotoItem> m_items;
    int m_done = 0;
    qint64 m_bytesTotal = 0; // of the items whose size is known
    qint64 m_bytesDone = 0;
    QString m_status;
    QStringList m_saved;
    QPointer<QNetworkReply> m_transfer;
    QFile *m_current = nullptr; // the file being written, for progress
    QTimer m_progressTimer;
    Lifetime m_lifetime;
};

} // namespace tavrolin
