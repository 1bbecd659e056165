#include "platform/AvahiPublisher.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include "platform/DiagnosticLog.h"

namespace tavrolin {

namespace {

QString avahiError(int code) { return QString::fromUtf8(avahi_strerror(code)); }

} // namespace

AvahiPublisher::AvahiPublisher(int retryMs, QObject *parent) : DnsSdPublisher(parent)
{
    m_retry.setInterval(retryMs);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (!m_service.name.isEmpty() && !m_poll)
            connectToDaemon();
    });
}

AvahiPublisher::~AvahiPublisher() { tearDown(); }

QString AvahiPublisher::fitServiceName(const QString &name)
{
    constexpr qsizetype kMaxBytes = 63;
    QString fitted = name;
    while (fitted.toUtf8().size() > kMaxBytes) {
        fitted.chop(1);
        // Never leave half of a surrogate pair behind.
        if (!fitted.isEmpty() && fitted.back().isHighSurrogate())
            fitted.chop(1);
    }
    return fitted;
}

void AvahiPublisher::publish(const DnsSdService &service)
{
    tearDown();
    m_service = service;
    m_service.name = fitServiceName(service.name);
    connectToDaemon();
}

void AvahiPublisher::withdraw()
{
    tearDown();
    m_service = {};
}

bool AvahiPublisher::connectToDaemon()
{
    m_poll = avahi_threaded_poll_new();
    if (!m_poll) {
        diagLog(QStringLiteral("DNS-SD advertising unavailable: cannot create the Avahi event loop"));
        return false;
    }
    int error = 0;
    // Without NO_FAIL a daemon that is not running yet is an error; with it
    // the client waits and publishes once the daemon appears.
    m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AVAHI_CLIENT_NO_FAIL,
                                &AvahiPublisher::onClientState, this, &error);
    if (!m_client) {
        diagLog(QStringLiteral("DNS-SD advertising unavailable: %1; retrying in %2 s")
                    .arg(avahiError(error)).arg(m_retry.interval() / 1000));
        avahi_threaded_poll_free(m_poll);
        m_poll = nullptr;
        m_retry.start();
        return false;
    }
    if (avahi_threaded_poll_start(m_poll) < 0) {
        diagLog(QStringLiteral("DNS-SD advertising unavailable: cannot start the Avahi event loop"));
        tearDown();
        return false;
    }
    return true;
}

void AvahiPublisher::tearDown()
{
    m_retry.stop();
    if (!m_poll)
        return;
    // Stopping the thread first means no callback runs while the objects go.
    avahi_threaded_poll_stop(m_poll);
    if (m_client)
        avahi_client_free(m_client); // frees the entry group too: the service is withdrawn
    m_client = nullptr;
    m_group = nullptr;
    avahi_threaded_poll_free(m_poll);
    m_poll = nullptr;
}

void AvahiPublisher::onClientState(AvahiClient *client, AvahiClientState state, void *opaque)
{
    auto *self = static_cast<AvahiPublisher *>(opaque);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        self->registerService(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being renegotiated; publish again once running.
        if (self->m_group)
            avahi_entry_group_reset(self->m_group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        // Also entered when a running daemon goes away: its entry group went
        // with it, so a fresh one is made once a daemon is back.
        if (self->m_group) {
            avahi_entry_group_free(self->m_group);
            self->m_group = nullptr;
        }
        diagLog(QStringLiteral("Avahi daemon not running; \"%1\" will be advertised when it starts").arg(self->m_service.name));
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
            // The daemon went away (restart, upgrade): wait for the next one.
            diagLog(QStringLiteral("Avahi daemon disconnected; waiting for it to return"));
            avahi_client_free(client);
            self->m_client = nullptr;
            self->m_group = nullptr;
            int error = 0;
            self->m_client = avahi_client_new(avahi_threaded_poll_get(self->m_poll), AVAHI_CLIENT_NO_FAIL,
                                              &AvahiPublisher::onClientState, self, &error);
            if (!self->m_client)
                diagLog(QStringLiteral("DNS-SD advertising stopped: %1").arg(avahiError(error)));
        } else {
            diagLog(QStringLiteral("DNS-SD advertising failed: %1").arg(avahiError(avahi_client_errno(client))));
        }
        break;
    }
}

void AvahiPublisher::onGroupState(AvahiEntryGroup *group, AvahiEntryGroupState state, void *opaque)
{
    auto *self = static_cast<AvahiPublisher *>(opaque);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        diagLog(QStringLiteral("DNS-SD service \"%1\" established").arg(self->m_service.name));
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:
        self->takeAlternativeName("in use on the network");
        self->registerService(avahi_entry_group_get_client(group));
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        diagLog(QStringLiteral("DNS-SD publication failed: %1")
                    .arg(avahiError(avahi_client_errno(avahi_entry_group_get_client(group)))));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

void AvahiPublisher::takeAlternativeName(const char *why)
{
    const QByteArray old = m_service.name.toUtf8();
    char *alternative = avahi_alternative_service_name(old.constData());
    m_service.name = QString::fromUtf8(alternative);
    avahi_free(alternative);
    diagLog(QStringLiteral("DNS-SD name \"%1\" is %2; advertising as \"%3\"")
                .arg(QString::fromUtf8(old), QString::fromLatin1(why), m_service.name));
    const QString name = m_service.name;
    QMetaObject::invokeMethod(this, [this, name] { Q_EMIT nameChanged(name); }, Qt::QueuedConnection);
}

void AvahiPublisher::registerService(AvahiClient *client)
{
    if (!m_group) {
        m_group = avahi_entry_group_new(client, &AvahiPublisher::onGroupState, this);
        if (!m_group) {
            diagLog(QStringLiteral("DNS-SD publication failed: %1").arg(avahiError(avahi_client_errno(client))));
            return;
        }
    }
    avahi_entry_group_reset(m_group);

    AvahiStringList *txt = nullptr;
    for (const auto &[key, value] : m_service.txt)
        txt = avahi_string_list_add_pair_arbitrary(txt, key.constData(), reinterpret_cast<const uint8_t *>(value.constData()),
                                                   size_t(value.size()));
    const QByteArray type = m_service.type.toUtf8();
    // A name another service of this host already holds is refused at once
    // rather than reported later; a bounded number of renames covers it.
    int result = AVAHI_ERR_COLLISION;
    for (int attempt = 0; attempt < 50 && result == AVAHI_ERR_COLLISION; ++attempt) {
        const QByteArray name = m_service.name.toUtf8();
        result = avahi_entry_group_add_service_strlst(m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                      name.constData(), type.constData(), nullptr, nullptr,
                                                      m_service.port, txt);
        if (result == AVAHI_ERR_COLLISION)
            takeAlternativeName("taken on this computer");
    }
    avahi_string_list_free(txt);
    if (result < 0) {
        diagLog(QStringLiteral("DNS-SD publication of \"%1\" failed: %2").arg(m_service.name, avahiError(result)));
        return;
    }
    result = avahi_entry_group_commit(m_group);
    if (result < 0)
        diagLog(QStringLiteral("DNS-SD publication of \"%1\" failed: %2").arg(m_service.name, avahiError(result)));
}

} // namespace tavrolin
