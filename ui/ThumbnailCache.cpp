#include "ui/ThumbnailCache.h"

namespace tavrolin {

std::optional<QImage> ThumbnailCache::get(const QString &key)
{
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return std::nullopt;
    m_order.splice(m_order.begin(), m_order, it.value());
    return it.value()->image;
}

void ThumbnailCache::put(const QString &key, const QImage &image)
{
    if (const auto it = m_index.find(key); it != m_index.end()) {
        m_bytes -= it.value()->image.sizeInBytes();
        m_order.erase(it.value());
        m_index.erase(it);
    }
    m_order.push_front({key, image});
    m_index.insert(key, m_order.begin());
    m_bytes += image.sizeInBytes();
    evict();
}

void ThumbnailCache::evict()
{
    // The newest entry stays even when it alone is over the budget.
    while (m_bytes > m_budget && m_order.size() > 1) {
        const Entry &last = m_order.back();
        m_bytes -= last.image.sizeInBytes();
        m_index.remove(last.key);
        m_order.pop_back();
    }
}

} // namespace tavrolin
