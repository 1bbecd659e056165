#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <utility>

namespace tavrolin {

// One DNS-SD service to publish in the default domain.
struct DnsSdService {
    QString name;              // the instance name people see
    QString type;              // e.g. "_tavro._tcp"
    quint16 port = 0;
    QList<std::pair<QByteArray, QByteArray>> txt; // key, value
};

// Publishes one service on the local network. Failures are the
// publisher's to log; the caller carries on either way.
class DnsSdPublisher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Replaces whatever was published before.
    virtual void publish(const DnsSdService &service) = 0;
    virtual void withdraw() = 0;

Q_SIGNALS:
    // The responder took another name because the first was in use.
    void nameChanged(const QString &name);
};

} // namespace tavrolin
