#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace tavrolin {

// Reads one page of an S3 ListObjectsV2 response: the keys, whether more
// pages follow and the token for the next one. Elements are matched by name
// wherever they stand. A malformed document stops the reader; what was read
// until then stands, and hadError() tells the caller the page was cut short.
class S3ListParser {
public:
    // What it reads of a page: the bytes (the gateway reads no more of an
    // answer), the keys (a page asks for a thousand), and one element's text
    // (a key is at most 1 KiB; a token, an ETag far less). Past any of them
    // it stops with an error, keeping what it read.
    static constexpr qint64 kMaxPageBytes = qint64(32) << 20;
    static constexpr qsizetype kMaxKeys = 10000;
    static constexpr qsizetype kMaxTextChars = 64 * 1024;

    explicit S3ListParser(QByteArray data);

    void parse();

    const QByteArray data;
    QStringList keys;
    // Beside each key: its ETag without quotes ("" if none was given) and
    // its size (-1 if none was given).
    QStringList etags;
    QList<qint64> sizes;
    bool isTruncated = false;
    std::optional<QString> nextContinuationToken;

    bool hadError() const { return !errorText.isEmpty(); }
    QString errorText;

private:
    void elementStarted(QStringView name);
    void characters(QStringView text);
    void elementEnded(QStringView name);

    void stop(const QString &why);

    QString currentElement;
    QString currentText;
    bool stopped = false;
    bool keyInThisEntry = false;
};

} // namespace tavrolin
