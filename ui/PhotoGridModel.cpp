#include "ui/PhotoGridModel.h"

#include <QUrl>
#include <algorithm>
#include <cmath>

#include "ui/PhotoListService.h"

namespace tavrolin {

PhotoGridModel::PhotoGridModel(PhotoListService &service, QObject *parent) : QAbstractListModel(parent), m_service(service)
{
    connect(&m_service, &PhotoListService::photosChanged, this, &PhotoGridModel::rebuild);
    connect(&m_service, &PhotoListService::isLoadingChanged, this, &PhotoGridModel::contentChanged);
    connect(&m_service, &PhotoListService::errorChanged, this, &PhotoGridModel::contentChanged);
    rebuild();
}

QString PhotoGridModel::thumbnailUrl(const QString &key)
{
    return QStringLiteral("image://thumbnail/") + QString::fromLatin1(QUrl::toPercentEncoding(key));
}

int PhotoGridModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_filtered.size()); }

QVariant PhotoGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_filtered.size())
        return {};
    const PhotoItem &item = m_filtered.at(index.row());
    switch (role) {
    case KeyRole:
        return item.key;
    case Qt::DisplayRole:
    case FilenameRole:
        return item.filename;
    case DeviceRole:
        return item.deviceName;
    case DateRole:
        return item.dateString.value_or(QString());
    case VideoRole:
        return item.isVideo;
    case ThumbnailUrlRole:
        return thumbnailUrl(item.key);
    case SelectedRole:
        return m_selected.contains(item.key);
    }
    return {};
}

QHash<int, QByteArray> PhotoGridModel::roleNames() const
{
    return {{KeyRole, "key"},       {FilenameRole, "filename"}, {DeviceRole, "deviceName"},
            {DateRole, "dateString"}, {VideoRole, "isVideo"},   {ThumbnailUrlRole, "thumbnailUrl"},
            {SelectedRole, "selected"}};
}

void PhotoGridModel::setSearchText(const QString &text)
{
    if (text == m_search)
        return;
    m_search = text;
    Q_EMIT filterChanged();
    rebuild();
}

void PhotoGridModel::setSelectedDevice(const QString &device)
{
    if (device == m_device)
        return;
    m_device = device;
    Q_EMIT filterChanged();
    rebuild();
}

void PhotoGridModel::setGridColumns(double value)
{
    const int columns = std::isfinite(value) ? std::clamp(int(std::trunc(qBound(-1e6, value, 1e6))), 2, 8) : m_columns;
    if (columns == m_columns)
        return;
    m_columns = columns;
    Q_EMIT gridColumnsChanged();
}

QString PhotoGridModel::mainState() const
{
    if (m_service.isLoading() && m_service.photos().isEmpty())
        return QStringLiteral("loading");
    if (m_service.error())
        return QStringLiteral("error");
    if (!m_filtered.isEmpty())
        return QStringLiteral("grid");
    return QStringLiteral("empty");
}

QString PhotoGridModel::emptyText() const
{
    return m_search.isEmpty() ? QStringLiteral("No photos yet") : QStringLiteral("No matching photos");
}

QString PhotoGridModel::errorText() const { return m_service.errorText(); }
bool PhotoGridModel::isLoading() const { return m_service.isLoading(); }

QString PhotoGridModel::keyAt(int row) const { return row >= 0 && row < m_filtered.size() ? m_filtered.at(row).key : QString(); }

void PhotoGridModel::refresh() { m_service.fetchPhotos(); }

QStringList PhotoGridModel::selectedKeys() const
{
    QStringList keys;
    QSet<QString> listed;
    for (const PhotoItem &item : m_filtered) {
        if (m_selected.contains(item.key)) {
            keys << item.key;
            listed.insert(item.key);
        }
    }
    for (const QString &key : m_selected)
        if (!listed.contains(key))
            keys << key;
    return keys;
}

bool PhotoGridModel::isSelected(int row) const { return row >= 0 && row < m_filtered.size() && m_selected.contains(m_filtered.at(row).key); }

void PhotoGridModel::select(int row, bool toggle, bool extend)
{
    if (row < 0 || row >= m_filtered.size())
        return;
    const QString key = m_filtered.at(row).key;
    if (extend) {
        qsizetype from = -1;
        for (qsizetype i = 0; i < m_filtered.size() && !m_anchor.isEmpty(); ++i)
            if (m_filtered.at(i).key == m_anchor) {
                from = i;
                break;
            }
        if (from < 0) {
            // Nothing to extend from (all selected, or it was filtered out):
            // this one is where the next range starts.
            from = row;
            m_anchor = key;
        }
        if (!toggle)
            m_selected.clear();
        for (qsizetype i = std::min<qsizetype>(from, row); i <= std::max<qsizetype>(from, row); ++i)
            m_selected.insert(m_filtered.at(i).key);
    } else if (toggle) {
        if (!m_selected.remove(key))
            m_selected.insert(key);
        m_anchor = key;
    } else {
        m_selected = {key};
        m_anchor = key;
    }
    notifySelection();
}

void PhotoGridModel::selectAll()
{
    for (const PhotoItem &item : m_filtered)
        m_selected.insert(item.key);
    notifySelection();
}

void PhotoGridModel::clearSelection()
{
    m_selected.clear();
    m_anchor.clear();
    notifySelection();
}

void PhotoGridModel::notifySelection()
{
    if (!m_filtered.isEmpty())
        Q_EMIT dataChanged(index(0), index(int(m_filtered.size()) - 1), {SelectedRole});
    Q_EMIT selectionChanged();
}

void PhotoGridModel::rebuild()
{
    beginResetModel();
    m_filtered.clear();
    QSet<QString> devices;
    for (const PhotoItem &item : m_service.photos()) {
        devices.insert(item.deviceName);
        if (!m_device.isEmpty() && item.deviceName != m_device)
            continue;
        if (!m_search.isEmpty() && !item.filename.contains(m_search, Qt::CaseInsensitive)
            && !item.deviceName.contains(m_search, Qt::CaseInsensitive))
            continue;
        m_filtered.append(item);
    }
    endResetModel();
    // Photos gone from the store cannot stay selected; a listing that
    // failed part way says nothing of what is gone.
    if (!m_selected.isEmpty() && !m_service.error()) {
        const qsizetype before = m_selected.size();
        for (auto it = m_selected.begin(); it != m_selected.end();)
            it = m_service.photoForKey(*it) ? std::next(it) : m_selected.erase(it);
        if (m_selected.size() != before)
            Q_EMIT selectionChanged();
    }
    QStringList sorted(devices.begin(), devices.end());
    std::sort(sorted.begin(), sorted.end());
    m_devices = sorted;
    Q_EMIT contentChanged();
}

} // namespace tavrolin
