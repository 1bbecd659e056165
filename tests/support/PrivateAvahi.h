#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>

#include "tests/support/TestSupport.h"

namespace tavrolin::test {

// A D-Bus bus and an Avahi daemon of the test's own: the bus is a socket in
// the sandbox, the daemon speaks mDNS on the loopback interface only and
// keeps its pid file in a private /run (a mount namespace of its own).
// Both are ended by pid when the object goes.
class PrivateAvahi {
public:
    explicit PrivateAvahi(const Sandbox &sandbox);

    // Why this machine cannot run the daemons, or empty.
    static QString unavailableReason();

    QString busAddress() const { return "unix:path=" + busSocket(); }
    // The system environment with the private bus as the system bus.
    QProcessEnvironment environment() const;

    bool startBus();
    bool startAvahi();
    void stopAvahi() { m_avahi.reset(); }

    // avahi-browse -rpt lines ("=;lo;IPv4;name;type;domain;host;address;port;txt") of the type.
    QStringList resolved(const QString &type) const;
    // The resolved line of the named instance, waited for; empty if it never shows.
    QString waitForInstance(const QString &type, const QString &name,
                            std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
    // A second publisher of a service, through Avahi's own tool.
    std::unique_ptr<ChildProcess> publishWithTool(const QString &name, const QString &type, int port) const;

    // avahi-browse -p writes special characters of names as \DDD (decimal).
    static QString unescape(const QString &field);

private:
    QString busSocket() const { return m_dir + "/bus"; }
    bool daemonAnswers() const;

    QString m_dir;
    std::unique_ptr<ChildProcess> m_bus;
    std::unique_ptr<ChildProcess> m_avahi;
};

} // namespace tavrolin::test
