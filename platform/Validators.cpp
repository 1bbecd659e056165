#include "platform/Validators.h"
#include <QList>

namespace tavrolin::Validators {

bool hasControlCharacters(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(u'.') || name.contains(u'/') || name.contains(u'\\'))
        return false;
    return name.toUtf8().size() <= kMaxFileNameBytes && !hasControlCharacters(name);
}

bool isValidObjectKey(const QString &key)
{
    if (key.isEmpty() || hasControlCharacters(key))
        return false;
    for (const QStringView segment : QStringView(key).split(u'/')) {
        if (segment == u"." || segment == u"..")
            return false;
    }
    return true;
}

} // namespace tavrolin::Validators
