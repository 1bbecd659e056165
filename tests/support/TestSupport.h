#pragma once

#include <QCoro/QCoroTask>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <sys/resource.h>

#include "server/ServerManager.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Wait.h"

namespace tavrolin::test {

// Four engine ports (and their gRPC twins, +10000) that are free right now.
struct EnginePorts {
    int s3 = 0, master = 0, volume = 0, filer = 0, metrics = 0;
    QList<int> all() const { return {s3, master, volume, filer, metrics}; }
};
EnginePorts freeEnginePorts();
// Whether nothing is bound to `port`. It binds the port for a moment, so a
// program starting to listen there at that moment would fail: to wait for a
// program to listen, use portIsListening, which only connects.
bool portIsFree(int port);
bool portIsListening(int port);

// A temporary sandbox: storage folder, data folder and settings file.
struct Sandbox {
    QTemporaryDir dir;
    QString storage() const { return dir.path() + "/storage"; }
    QString data() const { return dir.path() + "/data"; }
    QString settings() const { return dir.path() + "/settings.ini"; }
    QString path(const QString &name) const { return dir.path() + '/' + name; }
    Sandbox();
};

// A config that points at the sandbox, with the given engine and ports.
ServerManagerConfig testConfig(const Sandbox &sandbox, const EnginePorts &ports, const QString &enginePath);

// Writes an executable shell script.
QString writeScript(const QString &path, const QString &body);

// Runs a task to completion on the event loop.
void runTask(QCoro::Task<> task);

// A child process started by a test and ended by the test, by pid.
class ChildProcess {
public:
    ChildProcess(const QString &program, const QStringList &args);
    ~ChildProcess();
    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
};

// Another program (python3) listening on 127.0.0.1:`port`, once it listens;
// null when it could not bind within ten seconds.
std::unique_ptr<ChildProcess> holdPort(int port);

// PUTs objects into the gateway, a few at a time. Returns false on any
// failure, or when they are not all stored within the time given.
bool putObjects(int s3Port, const QString &bucket, const QStringList &keys,
                const std::function<QByteArray(const QString &key)> &body = {},
                std::chrono::milliseconds timeout = std::chrono::minutes(5));

// An object of `size` zero bytes, streamed from a sparse file: a gigabyte
// costs neither memory nor disk until the engine stores it.
bool putSparseObject(int s3Port, const QString &bucket, const QString &key, qint64 size,
                     std::chrono::milliseconds timeout = std::chrono::minutes(5));

// A field of /proc/self/status ("VmRSS:", "VmHWM:") in bytes; -1 if unread.
qint64 processStatusBytes(const char *field);

// The CPU time (user and system) a process has used so far, in seconds;
// -1 if unread.
double processCpuSeconds(qint64 pid);

// Resets the peak resident size (VmHWM) to the current one, so that a
// peak read afterwards is that of what ran since. False if it could not.
bool resetPeakMemory();

// Reproducible incompressible bytes: the same seed gives the same data.
QByteArray randomBytes(qsizetype size, quint32 seed);

// One HTTP exchange on the event loop, without retries.
struct HttpResult {
    int status = -1; // -1: no HTTP answer
    QByteArray body;
    QString contentType;
    QString error;
};
HttpResult httpCall(const QByteArray &verb, const QUrl &url, const QByteArray &body = {}, int timeoutMs = 60000);
// http://127.0.0.1:PORT/BUCKET/KEY
QUrl s3Url(int s3Port, const QString &bucket, const QString &key = {});

// A tmpfs of the given size ("100g", "1m") mounted on a fresh folder for the
// life of the object: a drive of any size that costs memory only as it is
// written. Mounting needs root; without it ok() is false and error() says why.
// This process's soft limit of open files lowered while alive (as a user's
// login session may have it), then restored.
class LowOpenFileLimit {
public:
    explicit LowOpenFileLimit(rlim_t soft)
    {
        if (::getrlimit(RLIMIT_NOFILE, &m_saved) != 0)
            return;
        rlimit low = m_saved;
        low.rlim_cur = std::min(soft, m_saved.rlim_max);
        m_ok = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~LowOpenFileLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    LowOpenFileLimit(const LowOpenFileLimit &) = delete;
    LowOpenFileLimit &operator=(const LowOpenFileLimit &) = delete;
    bool ok() const { return m_ok; }
    rlim_t hard() const { return m_saved.rlim_max; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

class TmpfsMount {
public:
    explicit TmpfsMount(const QString &size);
    ~TmpfsMount();
    bool ok() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }
    qint64 freeBytes() const;

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_error;
};

// The real engine built into the tree.
QString realEnginePath();
QString appBinaryPath();

} // namespace tavrolin::test
