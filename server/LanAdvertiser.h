#pragma once

#include <QObject>
#include <functional>

#include "platform/DnsSdPublisher.h"
#include "platform/ManagedService.h"

namespace tavrolin {

// Announces the server on the LAN by DNS-SD: type _tavro._tcp on the S3
// port, with the API and QUIC ports in the TXT record, so phones find all
// three from one browse.
class LanAdvertiser : public QObject, public ManagedService {
    Q_OBJECT
    Q_PROPERTY(QString advertisedName READ advertisedName NOTIFY advertisedNameChanged)
public:
    static constexpr const char *kServiceType = "_tavro._tcp";
    static constexpr const char *kFallbackName = "Tavrolin";

    using NameSource = std::function<QString()>;
    // The name source and ports are for tests; production uses the
    // computer's user-visible name and the fixed ports.
    explicit LanAdvertiser(DnsSdPublisher &publisher, NameSource name = {}, quint16 apiPort = 8334,
                           quint16 quicPort = 8444, QObject *parent = nullptr);

    // Empty while not advertising.
    QString advertisedName() const { return m_advertisedName; }

    // startBonjour: publication failures are the publisher's to report;
    // the start sequence goes on regardless.
    QCoro::Task<> start(int s3Port) override;
    QCoro::Task<> stop() override;

    DnsSdService service(int s3Port) const;

Q_SIGNALS:
    void advertisedNameChanged();

private:
    void setAdvertisedName(const QString &name);

    DnsSdPublisher &m_publisher;
    NameSource m_name;
    quint16 m_apiPort;
    quint16 m_quicPort;
    QString m_advertisedName;
};

} // namespace tavrolin
