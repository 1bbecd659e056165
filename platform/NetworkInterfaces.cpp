#include "platform/NetworkInterfaces.h"

#include <QFile>
#include <QNetworkInterface>

namespace tavrolin::NetworkInterfaces {

QString pickLocalIPv4(const QList<Candidate> &interfaces, const QString &defaultRouteInterface)
{
    auto usable = [](const Candidate &c) { return c.up && !c.loopback && !c.ipv4.isEmpty(); };
    if (!defaultRouteInterface.isEmpty()) {
        for (const Candidate &c : interfaces)
            if (c.interfaceName == defaultRouteInterface && usable(c))
                return c.ipv4.first();
    }
    for (const Candidate &c : interfaces)
        if (usable(c))
            return c.ipv4.first();
    return {};
}

QString parseDefaultRouteInterface(const QByteArray &procNetRoute)
{
    // Iface Destination Gateway Flags ...; the default route has destination 0.
    const QList<QByteArray> lines = procNetRoute.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cols = lines.at(i).simplified().split(' ');
        if (cols.size() >= 2 && cols.at(1) == "00000000")
            return QString::fromLatin1(cols.at(0));
    }
    return {};
}

QString localIPv4()
{
    QList<Candidate> candidates;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        Candidate c;
        c.interfaceName = iface.name();
        c.up = iface.flags().testFlag(QNetworkInterface::IsUp) && iface.flags().testFlag(QNetworkInterface::IsRunning);
        c.loopback = iface.flags().testFlag(QNetworkInterface::IsLoopBack);
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                c.ipv4.append(ip.toString());
        }
        candidates.append(c);
    }
    QFile route(QStringLiteral("/proc/net/route"));
    QByteArray routes;
    if (route.open(QIODevice::ReadOnly))
        routes = route.readAll();
    return pickLocalIPv4(candidates, parseDefaultRouteInterface(routes));
}

} // namespace tavrolin::NetworkInterfaces
