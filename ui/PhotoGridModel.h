#pragma once

#include <QAbstractListModel>
#include <QSet>
#include <QStringList>

#include "ui/PhotoItem.h"

namespace tavrolin {

class PhotoListService;

// The browser grid: the service's photos filtered by device and search
// text, with the texts of the main area and the status bar.
class PhotoGridModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY filterChanged)
    Q_PROPERTY(QString selectedDevice READ selectedDevice WRITE setSelectedDevice NOTIFY filterChanged)
    Q_PROPERTY(int gridColumns READ gridColumns WRITE setGridColumns NOTIFY gridColumnsChanged)
    Q_PROPERTY(QStringList devices READ devices NOTIFY contentChanged)
    Q_PROPERTY(int count READ rowCountProperty NOTIFY contentChanged)
    Q_PROPERTY(QString mainState READ mainState NOTIFY contentChanged)
    Q_PROPERTY(QString emptyText READ emptyText NOTIFY contentChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY contentChanged)
    Q_PROPERTY(QString filterText READ filterText NOTIFY filterChanged)
    Q_PROPERTY(QString errorText READ errorText NOTIFY contentChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY contentChanged)
    Q_PROPERTY(int selectedCount READ selectedCount NOTIFY selectionChanged)
    Q_PROPERTY(QStringList selectedKeys READ selectedKeys NOTIFY selectionChanged)
public:
    enum Role { KeyRole = Qt::UserRole + 1, FilenameRole, DeviceRole, DateRole, VideoRole, ThumbnailUrlRole, SelectedRole };

    explicit PhotoGridModel(PhotoListService &service, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    QString searchText() const { return m_search; }
    void setSearchText(const QString &text);
    QString selectedDevice() const { return m_device; }
    void setSelectedDevice(const QString &device); // empty: all devices
    int gridColumns() const { return m_columns; }
    void setGridColumns(double value); // truncated, clamped to 2..8
    QStringList devices() const { return m_devices; }
    int rowCountProperty() const { return int(m_filtered.size()); }
    QString mainState() const; // loading, error, grid, empty
    QString emptyText() const;
    QString statusText() const { return QStringLiteral("%1 photos").arg(m_filtered.size()); }
    QString filterText() const { return m_device.isEmpty() ? QString() : QStringLiteral("Filtered: ") + m_device; }
    QString errorText() const;
    bool isLoading() const;

    const QList<PhotoItem> &filtered() const { return m_filtered; }
    Q_INVOKABLE QString keyAt(int row) const;
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void clearDevice() { setSelectedDevice(QString()); }

    // Selection as file managers do it: a click selects one photo, a
    // ctrl-click adds or removes one, a shift-click selects the range from
    // the last photo clicked. Kept across filters by key.
    int selectedCount() const { return int(m_selected.size()); }
    QStringList selectedKeys() const; // in grid order, then the hidden ones
    Q_INVOKABLE void select(int row, bool toggle, bool extend);
    Q_INVOKABLE void selectAll();
    Q_INVOKABLE void clearSelection();
    Q_INVOKABLE bool isSelected(int row) const;

    // image://thumbnail/<this> names a key safely inside a URL.
    static QString thumbnailUrl(const QString &key);

Q_SIGNALS:
    void selectionChanged();
    void filterChanged();
    void gridColumnsChanged();
    void contentChanged();

private:
    void rebuild();
    void notifySelection();

    PhotoListService &m_service;
    QString m_search;
    QString m_device;
    int m_columns = 4;
    QStringList m_devices;
    QList<PhotoItem> m_filtered;
    QSet<QString> m_selected;
    QString m_anchor; // the last photo clicked, where a range starts
};

} // namespace tavrolin
