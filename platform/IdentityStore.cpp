#include "platform/IdentityStore.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AtomicFile.h"

namespace tavrolin {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString writePrivately(const QString &path, const QByteArray &bytes)
{
    // Restricted while still empty, before any key byte is written.
    return atomicWrite(path, bytes, kOwnerOnly);
}

} // namespace

IdentityStore::IdentityStore(QString folder) : m_folder(std::move(folder)) {}

bool IdentityStore::remove(const QString &label)
{
    bool ok = true;
    for (const QString &path : {keyPath(label), certificatePath(label)}) {
        if (QFile::exists(path) && !QFile::remove(path))
            ok = false;
    }
    return ok;
}

QString IdentityStore::store(const QString &label, const TlsIdentity &identity)
{
    if (!QDir().mkpath(m_folder))
        return QStringLiteral("cannot create %1").arg(m_folder);
    if (::chmod(QFile::encodeName(m_folder).constData(), 0700) != 0)
        return QStringLiteral("cannot restrict %1").arg(m_folder);
    QString error = writePrivately(keyPath(label), identity.privateKeyPem);
    if (error.isEmpty())
        error = writePrivately(certificatePath(label), identity.certificatePem);
    return error;
}

std::optional<TlsIdentity> IdentityStore::load(const QString &label) const
{
    QFile key(keyPath(label)), cert(certificatePath(label));
    if (!key.open(QIODevice::ReadOnly) || !cert.open(QIODevice::ReadOnly))
        return std::nullopt;
    return TlsIdentity{cert.readAll(), key.readAll()};
}

} // namespace tavrolin
