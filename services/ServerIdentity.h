#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "platform/IdentityStore.h"

namespace tavrolin {

// The QUIC receiver's TLS identity: a self-signed certificate named after
// the computer, with the names and IPv4 addresses devices may reach it by.
// Made fresh once per process (addresses change between launches) by
// /usr/bin/openssl, and kept in the identity store under one label.
class ServerIdentity {
public:
    static constexpr const char *kLabel = "com.tavrolin.quic-server";
    static constexpr const char *kBundlePassword = "mosslark";

    struct Config {
        QString opensslPath = QStringLiteral("/usr/bin/openssl");
        QString tempDir;     // empty: the system's temporary folder
        QString storeFolder; // empty: <app data>/identity
        std::function<QString()> hostName;       // empty: the computer's name
        std::function<QStringList()> addresses;  // empty: this machine's IPv4 addresses
    };

    ServerIdentity();
    explicit ServerIdentity(Config config);

    // The cached identity, or a new one; nothing when it cannot be made
    // (the next call tries again).
    std::optional<TlsIdentity> identity();

    // H: the computer's name with spaces as "-", "Tavrolin" for none.
    static QString certificateHostName(const QString &userVisibleName);
    // IPv4 addresses of up interfaces other than "lo", each once, then
    // 127.0.0.1; just 127.0.0.1 when none can be listed.
    static QStringList localIPv4Addresses();
    static QStringList subjectAltNames(const QString &host, const QStringList &addresses);
    static QString opensslConfig(const QString &host, const QStringList &subjectAltNames);
    // ["a", "b"]
    static QString listText(const QStringList &items);

private:
    std::optional<TlsIdentity> create();

    Config m_config;
    std::optional<TlsIdentity> m_cache;
};

} // namespace tavrolin
