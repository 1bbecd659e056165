#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace tavrolin {

// A TLS identity: certificate and private key, PEM.
struct TlsIdentity {
    QByteArray certificatePem;
    QByteArray privateKeyPem;
};

// Where this platform keeps the server's TLS identity: a folder of the
// application's own (mode 0700) with the key and certificate under one
// label (files mode 0600).
class IdentityStore {
public:
    explicit IdentityStore(QString folder);

    // Removes what is kept under the label; false when something stayed.
    bool remove(const QString &label);
    // Empty on success, else the reason.
    QString store(const QString &label, const TlsIdentity &identity);
    std::optional<TlsIdentity> load(const QString &label) const;

    QString keyPath(const QString &label) const { return m_folder + '/' + label + QStringLiteral(".key"); }
    QString certificatePath(const QString &label) const { return m_folder + '/' + label + QStringLiteral(".crt"); }

private:
    QString m_folder;
};

} // namespace tavrolin
