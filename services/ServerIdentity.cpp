#include "services/ServerIdentity.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <gnutls/gnutls.h>
#include <gnutls/pkcs12.h>
#include <gnutls/x509.h>

#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include "platform/AppPaths.h"
#include "platform/DiagnosticLog.h"
#include "platform/HostNames.h"

namespace tavrolin {

namespace {

void quicLog(const QString &line) { diagLog(QStringLiteral("QUIC: ") + line); }

// Made empty, owner-only, before openssl writes into it: the private key is
// never readable by other users, not even for a moment.
bool createPrivateFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

struct TempFiles {
    QString key, crt, p12, cnf;
    ~TempFiles()
    {
        for (const QString &path : {key, crt, p12, cnf})
            QFile::remove(path);
    }
};

// Runs openssl; empty on success, else the Part-style failure line.
QString runOpenssl(const QString &program, const QStringList &args, const char *what, bool &launched)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    launched = process.waitForStarted(10000);
    if (!launched)
        return process.errorString();
    process.waitForFinished(60000);
    const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (status == 0)
        return {};
    const QByteArray err = process.readAllStandardError();
    QString text = QString::fromUtf8(err);
    if (text.toUtf8() != err)
        text = QStringLiteral("unknown");
    return QStringLiteral("openssl %1 failed (%2): %3").arg(QLatin1String(what)).arg(status).arg(text);
}

QByteArray exportPem(int (*exporter)(void *, gnutls_x509_crt_fmt_t, void *, size_t *), void *object)
{
    size_t size = 0;
    exporter(object, GNUTLS_X509_FMT_PEM, nullptr, &size);
    QByteArray out(qsizetype(size), '\0');
    if (exporter(object, GNUTLS_X509_FMT_PEM, out.data(), &size) < 0)
        return {};
    out.resize(qsizetype(size));
    return out;
}

// The bundle opened with its password, as the platform's PKCS#12 import
// does; the status is GnuTLS's error code (0 on success).
int importBundle(const QByteArray &der, TlsIdentity &out)
{
    gnutls_pkcs12_t p12 = nullptr;
    int status = gnutls_pkcs12_init(&p12);
    if (status < 0)
        return status;
    gnutls_datum_t data{reinterpret_cast<unsigned char *>(const_cast<char *>(der.constData())), unsigned(der.size())};
    status = gnutls_pkcs12_import(p12, &data, GNUTLS_X509_FMT_DER, 0);
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t *chain = nullptr;
    unsigned chainSize = 0;
    if (status >= 0)
        status = gnutls_pkcs12_simple_parse(p12, ServerIdentity::kBundlePassword, &key, &chain, &chainSize, nullptr,
                                            nullptr, nullptr, 0);
    if (status >= 0 && (chainSize == 0 || !key))
        status = GNUTLS_E_CERTIFICATE_ERROR;
    if (status >= 0) {
        out.privateKeyPem = exportPem(reinterpret_cast<int (*)(void *, gnutls_x509_crt_fmt_t, void *, size_t *)>(
                                          &gnutls_x509_privkey_export),
                                      key);
        out.certificatePem = exportPem(reinterpret_cast<int (*)(void *, gnutls_x509_crt_fmt_t, void *, size_t *)>(
                                           &gnutls_x509_crt_export),
                                       chain[0]);
        if (out.privateKeyPem.isEmpty() || out.certificatePem.isEmpty())
            status = GNUTLS_E_CERTIFICATE_ERROR;
    }
    for (unsigned i = 0; i < chainSize; ++i)
        gnutls_x509_crt_deinit(chain[i]);
    gnutls_free(chain);
    if (key)
        gnutls_x509_privkey_deinit(key);
    gnutls_pkcs12_deinit(p12);
    return status < 0 ? status : 0;
}

} // namespace

ServerIdentity::ServerIdentity() : ServerIdentity(Config{}) {}

ServerIdentity::ServerIdentity(Config config) : m_config(std::move(config))
{
    if (m_config.tempDir.isEmpty())
        m_config.tempDir = QDir::tempPath();
    if (m_config.storeFolder.isEmpty())
        m_config.storeFolder = AppPaths::appDataDir() + QStringLiteral("/identity");
    if (!m_config.hostName)
        m_config.hostName = [] { return HostNames::userVisibleName(); };
    if (!m_config.addresses)
        m_config.addresses = &ServerIdentity::localIPv4Addresses;
}

QString ServerIdentity::certificateHostName(const QString &name)
{
    const QString trimmed = name.trimmed();
    return trimmed.isEmpty() ? QStringLiteral("Tavrolin") : QString(trimmed).replace(u' ', u'-');
}

QStringList ServerIdentity::localIPv4Addresses()
{
    QStringList out;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0 || !list)
        return {QStringLiteral("127.0.0.1")};
    for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || qstrcmp(entry->ifa_name, "lo") == 0)
            continue;
        char host[1025];
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        const QString text = QString::fromLatin1(host);
        if (!text.isEmpty() && !out.contains(text))
            out.append(text);
    }
    ::freeifaddrs(list);
    if (!out.contains(QStringLiteral("127.0.0.1")))
        out.append(QStringLiteral("127.0.0.1"));
    return out;
}

QStringList ServerIdentity::subjectAltNames(const QString &host, const QStringList &addresses)
{
    QStringList names{QStringLiteral("DNS:localhost"), "DNS:" + host, "DNS:" + host + ".local"};
    for (const QString &address : addresses)
        names.append("IP:" + address);
    return names;
}

QString ServerIdentity::opensslConfig(const QString &host, const QStringList &sans)
{
    QString text = QStringLiteral("[req]\ndistinguished_name = req_distinguished_name\nx509_extensions = v3_req\nprompt = no\n\n"
                                  "[req_distinguished_name]\nCN = ")
                   + host
                   + QStringLiteral("\nO = Tavrolin\n\n[v3_req]\nkeyUsage = keyEncipherment, dataEncipherment, digitalSignature\n"
                                    "extendedKeyUsage = serverAuth\nsubjectAltName = @alt_names\n\n[alt_names]\n");
    QStringList lines;
    for (qsizetype i = 0; i < sans.size(); ++i) {
        const QString &entry = sans.at(i);
        if (entry.startsWith(QLatin1String("DNS:")))
            lines.append(QStringLiteral("DNS.%1 = %2").arg(i + 1).arg(entry.mid(4)));
        else
            lines.append(QStringLiteral("IP.%1 = %2").arg(i + 1).arg(entry.mid(3)));
    }
    return text + lines.join(u'\n');
}

QString ServerIdentity::listText(const QStringList &items)
{
    QStringList quoted;
    for (const QString &item : items)
        quoted.append(u'"' + item + u'"');
    return u'[' + quoted.join(QStringLiteral(", ")) + u']';
}

std::optional<TlsIdentity> ServerIdentity::identity()
{
    if (m_cache)
        return m_cache;
    IdentityStore store(m_config.storeFolder);
    store.remove(QString::fromLatin1(kLabel));
    quicLog(QStringLiteral("Cleared old certificate, creating new one with updated SANs..."));
    m_cache = create();
    if (!m_cache)
        quicLog(QStringLiteral("Failed to create server identity"));
    return m_cache;
}

std::optional<TlsIdentity> ServerIdentity::create()
{
    const QString base = m_config.tempDir + QStringLiteral("/tavro-quic-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    TempFiles files{base + ".key", base + ".crt", base + ".p12", base + ".cnf"};

    const QString host = certificateHostName(m_config.hostName());
    const QStringList addresses = m_config.addresses();
    quicLog(QStringLiteral("Creating certificate for hostname=%1, IPs=%2").arg(host, listText(addresses)));
    const QStringList sans = subjectAltNames(host, addresses);

    for (const QString &path : {files.key, files.crt, files.p12, files.cnf}) {
        if (!createPrivateFile(path)) {
            quicLog(QStringLiteral("Certificate creation error - cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
            return std::nullopt;
        }
    }
    {
        QFile cnf(files.cnf);
        const QByteArray text = opensslConfig(host, sans).toUtf8();
        if (!cnf.open(QIODevice::WriteOnly | QIODevice::Truncate) || cnf.write(text) != text.size()) {
            quicLog(QStringLiteral("Certificate creation error - %1").arg(cnf.errorString()));
            return std::nullopt;
        }
    }

    bool launched = false;
    const QStringList reqArgs{"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", files.key, "-out", files.crt,
                              "-days", "3650", "-config", files.cnf};
    QString failure = runOpenssl(m_config.opensslPath, reqArgs, "req", launched);
    if (failure.isEmpty()) {
        const QStringList p12Args{"pkcs12", "-export", "-in", files.crt, "-inkey", files.key, "-out", files.p12,
                                  "-passout", QStringLiteral("pass:") + QLatin1String(kBundlePassword)};
        failure = runOpenssl(m_config.opensslPath, p12Args, "pkcs12", launched);
    }
    if (!failure.isEmpty()) {
        quicLog(launched ? failure : QStringLiteral("Certificate creation error - ") + failure);
        return std::nullopt;
    }

    QFile bundle(files.p12);
    if (!bundle.open(QIODevice::ReadOnly)) {
        quicLog(QStringLiteral("Certificate creation error - %1").arg(bundle.errorString()));
        return std::nullopt;
    }
    TlsIdentity identity;
    const int status = importBundle(bundle.readAll(), identity);
    if (status != 0) {
        quicLog(QStringLiteral("SecPKCS12Import failed (status=%1)").arg(status));
        return std::nullopt;
    }

    IdentityStore store(m_config.storeFolder);
    store.remove(QString::fromLatin1(kLabel));
    const QString stored = store.store(QString::fromLatin1(kLabel), identity);
    if (!stored.isEmpty())
        quicLog(QStringLiteral("Keychain store warning (%1) - continuing anyway").arg(stored));
    quicLog(QStringLiteral("Self-signed certificate created successfully with SANs: %1").arg(listText(sans)));
    return identity;
}

} // namespace tavrolin
