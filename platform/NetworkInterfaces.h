#pragma once

#include <QList>
#include <QString>

namespace tavrolin {

namespace NetworkInterfaces {

struct Candidate {
    QString interfaceName;
    bool up = false;
    bool loopback = false;
    QList<QString> ipv4; // numeric addresses in interface order
};

// The first IPv4 address of an up, non-loopback interface, preferring the
// interface that carries the default route. Empty when there is none.
QString pickLocalIPv4(const QList<Candidate> &interfaces, const QString &defaultRouteInterface);

// The interface named by the first default route in /proc/net/route.
QString parseDefaultRouteInterface(const QByteArray &procNetRoute);

// pickLocalIPv4 over this machine's interfaces.
QString localIPv4();

} // namespace NetworkInterfaces
} // namespace tavrolin
