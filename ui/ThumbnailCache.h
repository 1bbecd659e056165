#pragma once

#include <QHash>
#include <QImage>
#include <QString>
#include <list>
#include <optional>

namespace tavrolin {

// Decoded thumbnails by key, least recently used dropped first once the
// images together pass the byte budget: browsing 100k photos keeps memory
// bounded while what is on screen stays cached.
class ThumbnailCache {
public:
    explicit ThumbnailCache(qint64 budgetBytes = qint64(256) << 20) : m_budget(budgetBytes) {}

    std::optional<QImage> get(const QString &key);
    void put(const QString &key, const QImage &image);
    qint64 bytes() const { return m_bytes; }
    qsizetype size() const { return m_index.size(); }

private:
    struct Entry {
        QString key;
        QImage image;
    };
    void evict();

    qint64 m_budget;
    qint64 m_bytes = 0;
    std::list<Entry> m_order; // most recent first
    QHash<QString, std::list<Entry>::iterator> m_index;
};

} // namespace tavrolin
