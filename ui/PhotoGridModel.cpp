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
    }
    return {};
}

QHash<int, QByteArray> PhotoGridModel::roleNames() const
{
    return {{KeyRole, "key"},       {FilenameRole, "filename"}, {DeviceRole, "deviceName"},
            {DateRole, "dateString"}, {VideoRole, "isVideo"},   {ThumbnailUrlRole, "thumbnailUrl"}};
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
    QStringList sorted(devices.begin(), devices.end());
    std::sort(sorted.begin(), sorted.end());
    m_devices = sorted;
    Q_EMIT contentChanged();
}

} // namespace tavrolin
