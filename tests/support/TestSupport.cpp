#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QThread>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/DiagnosticLog.h"

namespace tavrolin::test {

bool portIsFree(int port)
{
    QTcpServer any, loop;
    return any.listen(QHostAddress::AnyIPv4, quint16(port)) && loop.listen(QHostAddress::LocalHostIPv6, quint16(port));
}

bool portIsListening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

EnginePorts freeEnginePorts()
{
    // Ports and their gRPC twins (+10000) all below the kernel's ephemeral
    // range (32768 up): a port there may be any connection's local end, or a
    // listener on port 0, between our look and the engine's bind. Parallel
    // test processes pick at random to stay apart.
    for (;;) {
        const int base = 12000 + int(QRandomGenerator::global()->bounded(1000)) * 10;
        EnginePorts ports{base, base + 1, base + 2, base + 3, base + 4};
        bool free = true;
        for (int p : ports.all())
            free = free && portIsFree(p) && portIsFree(p + 10000);
        if (free)
            return ports;
    }
}

Sandbox::Sandbox()
{
    QDir().mkpath(storage());
    QDir().mkpath(data());
}

ServerManagerConfig testConfig(const Sandbox &sandbox, const EnginePorts &ports, const QString &enginePath)
{
    ServerManagerConfig config;
    config.s3Port = ports.s3;
    config.masterPort = ports.master;
    config.volumePort = ports.volume;
    config.filerPort = ports.filer;
    config.metricsPort = ports.metrics;
    config.enginePath = enginePath;
    config.dataDir = sandbox.data();
    config.settingsFile = sandbox.settings();
    return config;
}

QString writeScript(const QString &path, const QString &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

void runTask(QCoro::Task<> task) { QCoro::waitFor(std::move(task)); }

ChildProcess::ChildProcess(const QString &program, const QStringList &args)
{
    m_process.setProgram(program);
    m_process.setArguments(args);
    // Nothing a child leaves behind may hold the test runner's output open.
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    m_process.waitForStarted(5000);
}

ChildProcess::~ChildProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

std::unique_ptr<ChildProcess> holdPort(int port)
{
    // SO_REUSEADDR: a port our own test just used is still in TIME_WAIT, and
    // a bind without it is refused although nothing listens there. The wait
    // below connects rather than binds: a probe holding the port for a moment
    // made the holder's own bind fail now and then.
    const QString script = QString("import socket, time\n"
                                   "s = socket.socket()\n"
                                   "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                                   "s.bind(('127.0.0.1', %1)); s.listen()\n"
                                   "time.sleep(300)").arg(port);
    auto holder = std::make_unique<ChildProcess>("/usr/bin/python3", QStringList{"-c", script});
    const bool listening = waitUntil([&] { return portIsListening(port) || !holder->running(); }, std::chrono::seconds(10));
    if (!listening || !holder->running())
        return nullptr;
    return holder;
}

bool putSparseObject(int s3Port, const QString &bucket, const QString &key, qint64 size, std::chrono::milliseconds timeout)
{
    QTemporaryFile file;
    if (!file.open() || !file.resize(size))
        return false;
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(s3Url(s3Port, bucket, key));
    request.setHeader(QNetworkRequest::ContentLengthHeader, size);
    std::unique_ptr<QNetworkReply> reply(network.put(request, &file));
    waitUntil([&] { return reply->isFinished(); }, timeout);
    return reply->isFinished() && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

bool resetPeakMemory()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // utime and stime are fields 14 and 15 of the line; the command name
    // before them is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

qint64 processStatusBytes(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

bool putObjects(int s3Port, const QString &bucket, const QStringList &keys, const std::function<QByteArray(const QString &key)> &body,
                std::chrono::milliseconds timeout)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QStringList queue = keys;
    qsizetype next = 0;
    int inFlight = 0;
    int retries = 0;
    bool ok = true;
    std::function<void()> launch = [&] {
        while (inFlight < 16 && next < queue.size()) {
            const QString key = queue.at(next++);
            QUrl url(QStringLiteral("http://127.0.0.1:%1/%2/").arg(s3Port).arg(bucket));
            url.setPath(url.path() + key); // QUrl encodes what the path needs
            QNetworkReply *reply = network.put(QNetworkRequest(url), body ? body(key) : QByteArray("data:") + key.toUtf8());
            ++inFlight;
            QObject::connect(reply, &QNetworkReply::finished, [&, reply, key] {
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                // The gateway may answer 500 while it grows its first volumes.
                if (status == 500 && ++retries < 100)
                    queue.append(key);
                else if (status != 200)
                    ok = false;
                --inFlight;
                reply->deleteLater();
                launch();
            });
        }
    };
    launch();
    waitUntil([&] { return inFlight == 0 && next >= queue.size(); }, timeout);
    return ok && inFlight == 0 && next >= queue.size();
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

HttpResult httpCall(const QByteArray &verb, const QUrl &url, const QByteArray &body, int timeoutMs)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    // A custom verb is taken to carry a body; GET, HEAD and DELETE go
    // through their own calls so that none waits for one.
    QNetworkReply *reply = verb == "GET"      ? network.get(request)
                           : verb == "HEAD"   ? network.head(request)
                           : verb == "DELETE" ? network.deleteResource(request)
                           : verb == "PUT"    ? network.put(request, body)
                                              : network.sendCustomRequest(request, verb, body);
    bool done = false;
    QObject::connect(reply, &QNetworkReply::finished, [&] { done = true; });
    waitUntil([&] { return done; }, std::chrono::milliseconds(timeoutMs + 5000));
    HttpResult result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        result.status = status.toInt();
    result.body = reply->readAll();
    result.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (reply->error() != QNetworkReply::NoError && !status.isValid())
        result.error = reply->errorString();
    reply->abort();
    delete reply;
    return result;
}

QUrl s3Url(int s3Port, const QString &bucket, const QString &key)
{
    QUrl url(QStringLiteral("http://127.0.0.1:%1/%2").arg(s3Port).arg(bucket));
    if (!key.isEmpty())
        url.setPath(url.path() + QLatin1Char('/') + key);
    return url;
}

TmpfsMount::TmpfsMount(const QString &size)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    const QByteArray options = "size=" + size.toLatin1() + ",mode=0755";
    if (::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", 0, options.constData()) != 0) {
        m_error = QStringLiteral("cannot mount a tmpfs of %1 (needs root): %2").arg(size, QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    m_mounted = true;
}

TmpfsMount::~TmpfsMount()
{
    // Lazily: an engine that is still letting go of its files must not keep
    // the folder from being removed.
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
}

qint64 TmpfsMount::freeBytes() const
{
    struct statvfs s {};
    if (::statvfs(QFile::encodeName(m_dir.path()).constData(), &s) != 0)
        return -1;
    return qint64(s.f_bavail) * qint64(s.f_frsize);
}

QString realEnginePath() { return QStringLiteral(TAVROLIN_TEST_ENGINE); }
QString appBinaryPath() { return QStringLiteral(TAVROLIN_TEST_APP); }

} // namespace tavrolin::test
