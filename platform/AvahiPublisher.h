#pragma once

#include <QTimer>

#include "platform/DnsSdPublisher.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/thread-watch.h>

namespace tavrolin {

// DNS-SD publication through the Avahi daemon, over D-Bus. Avahi's own
// thread runs its callbacks; they touch only the Avahi objects (under the
// poll lock, which Avahi holds for them) and reach Qt through queued calls.
//
// A daemon that is not running is waited for; one that restarts is
// reconnected to; a system without D-Bus is retried every retryMs.
class AvahiPublisher : public DnsSdPublisher {
    Q_OBJECT
public:
    explicit AvahiPublisher(int retryMs = 30000, QObject *parent = nullptr);
    ~AvahiPublisher() override;

    void publish(const DnsSdService &service) override;
    void withdraw() override;

    // Avahi's limit for one DNS label: 63 bytes of UTF-8. Longer names are
    // cut at a character boundary.
    static QString fitServiceName(const QString &name);

private:
    bool connectToDaemon();
    void tearDown();
    // Poll thread, lock held.
    static void onClientState(AvahiClient *client, AvahiClientState state, void *self);
    static void onGroupState(AvahiEntryGroup *group, AvahiEntryGroupState state, void *self);
    void registerService(AvahiClient *client);
    void takeAlternativeName(const char *why);

    AvahiThreadedPoll *m_poll = nullptr;
    AvahiClient *m_client = nullptr;
    AvahiEntryGroup *m_group = nullptr;
    DnsSdService m_service;     // m_service.name is the name in use
    QTimer m_retry;
};

} // namespace tavrolin
