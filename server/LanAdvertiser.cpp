#include "server/LanAdvertiser.h"

#include "platform/DiagnosticLog.h"
#include "platform/HostNames.h"

namespace tavrolin {

LanAdvertiser::LanAdvertiser(DnsSdPublisher &publisher, NameSource name, quint16 apiPort, quint16 quicPort, QObject *parent)
    : QObject(parent), m_publisher(publisher), m_name(name ? std::move(name) : NameSource(&HostNames::userVisibleName)),
      m_apiPort(apiPort), m_quicPort(quicPort)
{
    connect(&m_publisher, &DnsSdPublisher::nameChanged, this, [this](const QString &name) {
        if (!m_advertisedName.isEmpty())
            setAdvertisedName(name);
    });
}

DnsSdService LanAdvertiser::service(int s3Port) const
{
    DnsSdService service;
    service.name = m_name().trimmed();
    if (service.name.isEmpty())
        service.name = QString::fromLatin1(kFallbackName);
    service.type = QString::fromLatin1(kServiceType);
    service.port = quint16(s3Port);
    service.txt = {{"apiPort", QByteArray::number(m_apiPort)}, {"quicPort", QByteArray::number(m_quicPort)}};
    return service;
}

QCoro::Task<> LanAdvertiser::start(int s3Port)
{
    const DnsSdService advert = service(s3Port);
    m_publisher.publish(advert);
    setAdvertisedName(advert.name);
    diagLog(QStringLiteral("Bonjour advertising started: %1 on S3 port %2, API port %3, QUIC port %4")
                .arg(advert.name).arg(s3Port).arg(m_apiPort).arg(m_quicPort));
    co_return;
}

QCoro::Task<> LanAdvertiser::stop()
{
    m_publisher.withdraw();
    setAdvertisedName(QString());
    co_return;
}

void LanAdvertiser::setAdvertisedName(const QString &name)
{
    if (name == m_advertisedName)
        return;
    m_advertisedName = name;
    Q_EMIT advertisedNameChanged();
}

} // namespace tavrolin
