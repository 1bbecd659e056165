#include "s3/S3ListParser.h"

#include <QXmlStreamReader>

namespace tavrolin {

S3ListParser::S3ListParser(QByteArray body)
    : data(std::move(body))
{
}

void S3ListParser::parse()
{
    if (data.size() > kMaxPageBytes) {
        stop(QStringLiteral("The page is larger than %1 bytes").arg(kMaxPageBytes));
        return;
    }
    QXmlStreamReader reader(data);
    while (!reader.atEnd() && !stopped) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: elementStarted(reader.name()); break;
        case QXmlStreamReader::Characters: characters(reader.text()); break;
        case QXmlStreamReader::EndElement: elementEnded(reader.name()); break;
        default: break;
        }
    }
    if (reader.hasError() && !stopped)
        errorText = reader.errorString();
}

void S3ListParser::stop(const QString &why)
{
    errorText = why;
    stopped = true;
}

void S3ListParser::elementStarted(QStringView name)
{
    currentElement = name.toString();
    currentText.clear();
    if (name == QLatin1String("Contents"))
        keyInThisEntry = false;
}

void S3ListParser::characters(QStringView text)
{
    if (currentText.size() + text.size() > kMaxTextChars)
        return stop(QStringLiteral("An element's text is longer than %1 characters").arg(kMaxTextChars));
    currentText += text;
}

void S3ListParser::elementEnded(QStringView name)
{
    const QString text = currentText.trimmed();
    // Cleared here too, so that an enclosing element's end does not see the
    // text of an element nested inside it a second time.
    currentText.clear();
    if (name == QLatin1String("Key")) {
        if (!text.isEmpty()) {
            if (keys.size() >= kMaxKeys)
                return stop(QStringLiteral("The page names more than %1 keys").arg(kMaxKeys));
            keys.append(text);
            etags.append(QString());
            sizes.append(-1);
            keyInThisEntry = true;
        }
    } else if (name == QLatin1String("ETag")) {
        if (keyInThisEntry) {
            QString etag = text;
            etag.remove(u'"');
            etags.last() = etag;
        }
    } else if (name == QLatin1String("Size")) {
        bool ok = false;
        const qint64 size = text.toLongLong(&ok);
        if (keyInThisEntry && ok && size >= 0)
            sizes.last() = size;
    } else if (name == QLatin1String("IsTruncated")) {
        isTruncated = text.toLower() == QLatin1String("true");
    } else if (name == QLatin1String("NextContinuationToken")) {
        nextContinuationToken = text.isEmpty() ? std::nullopt : std::optional<QString>(text);
    }
}

} // namespace tavrolin
