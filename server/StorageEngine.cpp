// The storage engine child process: launch, output capture, crash check,
// gateway probe, termination and the clean-up before each attempt.

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroProcess>
#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QStringDecoder>

#include <chrono>

#include "platform/DiagnosticLog.h"
#include "platform/ProcessTable.h"
#include "server/EngineCleanup.h"
#include "server/EngineSizing.h"
#include "server/ServerManager.h"

namespace tavrolin {

namespace {

// The engine talks a lot over days of running; keep the start of its output
// (start-up failures are reported from it) and a recent tail.
constexpr qsizetype kOutputHead = 4 * 1024;
constexpr qsizetype kOutputLimit = 256 * 1024;
constexpr qsizetype kOutputTail = 128 * 1024;

} // namespace

QStringList ServerManager::engineArguments(const QString &storagePath) const
{
    QStringList args = {
        QStringLiteral("server"),
        QStringLiteral("-dir"), storagePath,
        QStringLiteral("-s3"),
        QStringLiteral("-s3.port"), QString::number(m_config.s3Port),
        QStringLiteral("-master.port"), QString::number(m_config.masterPort),
        QStringLiteral("-volume.port"), QString::number(m_config.volumePort),
        QStringLiteral("-volume.max"), QStringLiteral("0"),
        QStringLiteral("-filer"),
        QStringLiteral("-filer.port"), QString::number(m_config.filerPort),
    };
    args << QStringLiteral("-master.telemetry=false") // nothing leaves the machine
         << QStringLiteral("-ip=127.0.0.1")           // the engine's own traffic stays on loopback
         << QStringLiteral("-ip.bind=127.0.0.1")      // master, volume and filer listen on loopback only
         << QStringLiteral("-s3.ip.bind=0.0.0.0")     // devices on the LAN reach the S3 gateway
         << QStringLiteral("-s3.port.iceberg=0")
         << QStringLiteral("-s3.port.lance=0")
         // A single master: its topology comes back from the volume server's
         // heartbeat at once, instead of waiting out a raft election.
         << QStringLiteral("-master.resumeState=false")
         // One DELETE of the bucket must never take every photo with it.
         << QStringLiteral("-s3.allowDeleteBucketNotEmpty=false")
         // Volumes sized to the drive, so that every collection finds a slot
         // to grow into until the drive is nearly full.
         << QStringLiteral("-master.volumeSizeLimitMB=%1")
                .arg(EngineSizing::volumeSizeLimitMB(QStorageInfo(storagePath).bytesAvailable()))
         // The engine's own files (its metadata log) share the photos'
         // volumes instead of claiming slots of their own.
         << QStringLiteral("-filer.collection=photos");
    // Its counters of metadata writes tell the object count when to look
    // again (loopback only, like every port but the gateway's).
    // The engine will not start at all when that port is taken, so another
    // program there costs only the signal: the count then looks every 30 s.
    if (m_config.metricsPort > 0 && ProcessTable::listenerPids(quint16(m_config.metricsPort)).isEmpty())
        args << metricsArgument();
    return args;
}

QString ServerManager::metricsArgument() const { return QStringLiteral("-metricsPort=%1").arg(m_config.metricsPort); }

qint64 ServerManager::enginePid() const
{
    return m_seaweedProcess ? m_seaweedProcess->processId() : 0;
}

std::unique_ptr<EngineCleanup> ServerManager::makeCleanup(const QString &storagePath) const
{
    return std::make_unique<EngineCleanup>(enginePath(), storagePath, pidFilePath());
}

QCoro::Task<std::optional<ServerError>> ServerManager::startSeaweedFS(QString executablePath, QString storagePath)
{
    using namespace std::chrono_literals;
    setSeaweedStatus(SeaweedFSStatus::starting());
    m_launchedExecutable = executablePath;

    // The process may be gone by the time this sequence resumes: an engine
    // that exits early is deleted once its exit has been handled.
    QPointer<QProcess> process = new QProcess(this);
    process->setProgram(executablePath);
    process->setArguments(engineArguments(storagePath));
    // Credentials in the environment would switch on the gateway's
    // authentication, and every unsigned request would fail.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN"})
        env.remove(QString::fromLatin1(name));
    // Its garbage bounded: see EngineSizing::kEngineGcPercent.
    env.insert(QStringLiteral("GOGC"), QString::number(EngineSizing::kEngineGcPercent));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());

    m_outputBuffer.clear();
    m_pendingOutput.clear();
    QProcess *raw = process;
    connect(raw, &QProcess::readyReadStandardOutput, this, [this, raw] {
        if (raw == m_seaweedProcess)
            handleEngineOutput();
        else
            raw->readAll();
    });
    connect(raw, &QProcess::finished, this, [this, raw] { engineFinished(raw); });

    raw->start();
    const bool started = co_await qCoro(raw).waitForStarted(5s);
    if (!started || !process) {
        const QString reason = process ? process->errorString() : QStringLiteral("the process ended");
        if (process)
            process->deleteLater();
        setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Failed to launch")));
        co_return ServerError::seaweedStartupFailed(QStringLiteral("Failed to launch weed binary: ") + reason);
    }
    m_seaweedProcess = process.data();
    const qint64 childPid = process->processId();
    makeCleanup(storagePath)->writePidFile(childPid);

    co_await QCoro::sleepFor(std::chrono::milliseconds(m_config.secondMs / 2));

    auto gone = [&process] { return !process || process->state() == QProcess::NotRunning; };
    // The engine has exited: one log line, the status and the error, each
    // with the output it left.
    auto exited = [this, &process](const QString &logText, const QString &errorText) {
        // Take what the pipe still holds before reading the buffer.
        if (process && process == m_seaweedProcess)
            handleEngineOutput();
        flushEngineOutput(true);
        const QString output = m_outputBuffer.isEmpty() ? QStringLiteral("No output captured") : m_outputBuffer;
        diagLog(logText + output);
        setSeaweedStatus(SeaweedFSStatus::failed(output.left(200)));
        return ServerError::seaweedStartupFailed(errorText + output.left(500));
    };

    if (gone())
        co_return exited(QStringLiteral("SeaweedFS crashed immediately. Output: "), QStringLiteral("SeaweedFS crashed on startup: "));

    const bool ready = co_await waitForS3API(m_config.probeLimitSeconds);

    if (!gone() && m_seaweedProcess == process) {
        if (ready) {
            setSeaweedStatus(SeaweedFSStatus::running());
            diagLog(QStringLiteral("SeaweedFS started successfully on port %1").arg(m_config.s3Port));
            co_return std::nullopt;
        }
        diagLog(QStringLiteral("Warning: S3 API not responding after %1 seconds. SeaweedFS output: ").arg(m_config.probeLimitSeconds)
                + m_outputBuffer.right(1000));
        setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("S3 API not responding")));
        co_return ServerError::seaweedStartupFailed(
            QStringLiteral("S3 API not responding. Check if port %1 is available.").arg(m_config.s3Port));
    }

    co_return exited(QStringLiteral("SeaweedFS died while waiting for S3 API. Output: "), QStringLiteral("SeaweedFS died during startup: "));
}

ServerManager::PortOwnership ServerManager::enginePortOwnership(qint64 childPid) const
{
    // A gateway that answers is not necessarily ours: another program may
    // have held the port before the engine tried to bind it, and the engine
    // then dies while that program answers in its place.
    bool allListening = true;
    for (int port : {m_config.s3Port, m_config.masterPort, m_config.volumePort, m_config.filerPort}) {
        const QList<qint64> holders = ProcessTable::listenerPids(quint16(port));
        if (holders.isEmpty())
            allListening = false;
        for (qint64 pid : holders) {
            if (pid == childPid)
                continue;
            const auto info = ProcessTable::read(pid);
            EngineCleanup::reportForeignHolder(quint16(port), pid, info ? info->name : QStringLiteral("unknown"));
            return PortOwnership::Foreign;
        }
    }
    return allListening ? PortOwnership::Ours : PortOwnership::NotYet;
}

void ServerManager::handleEngineOutput()
{
    if (!m_seaweedProcess)
        return;
    m_pendingOutput += m_seaweedProcess->readAll();
    flushEngineOutput(false);
}

void ServerManager::flushEngineOutput(bool final)
{
    // Lines are logged whole even when the pipe splits them; a line that is
    // not valid UTF-8 is dropped.
    qsizetype end = final ? m_pendingOutput.size() : m_pendingOutput.lastIndexOf('\n') + 1;
    if (end <= 0)
        return;
    const QByteArray complete = m_pendingOutput.left(end);
    m_pendingOutput.remove(0, end);

    for (const QByteArray &raw : complete.split('\n')) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString line = decoder(raw);
        if (decoder.hasError())
            continue;
        if (line.isEmpty())
            continue;
        m_outputBuffer += line;
        m_outputBuffer += QLatin1Char('\n');
        diagLog(QStringLiteral("SeaweedFS: ") + line);
    }
    if (m_outputBuffer.size() > kOutputLimit)
        m_outputBuffer = m_outputBuffer.left(kOutputHead) + QStringLiteral("\n...\n") + m_outputBuffer.right(kOutputTail);
}

QCoro::Task<bool> ServerManager::waitForS3API(int limitSeconds)
{
    using namespace std::chrono_literals;
    const QUrl url(s3BaseUrl() + QStringLiteral("/"));
    if (!url.isValid())
        co_return false;

    const quint64 generation = m_engineGeneration;
    for (int i = 1; i <= limitSeconds; ++i) {
        // A restart while running shows no start-up progress.
        if (m_isStarting)
            setStatus(QStringLiteral("Waiting for S3 API... (%1s)").arg(i));
        QNetworkRequest request(url);
        request.setTransferTimeout(2000);
        std::unique_ptr<QNetworkReply> reply(m_network->get(request));
        co_await reply.get();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // Gone already: no point in probing a dead engine for the rest of the limit.
        const bool engineGone = !m_seaweedProcess || m_seaweedProcess->state() == QProcess::NotRunning;
        if (status.isValid() && !engineGone) {
            const PortOwnership owner = m_config.verifyEnginePorts ? enginePortOwnership(m_seaweedProcess->processId())
                                                                   : PortOwnership::Ours;
            if (owner == PortOwnership::Foreign)
                co_return false;
            if (owner == PortOwnership::Ours) {
                diagLog(QStringLiteral("S3 API ready after %1 second(s) (HTTP %2)").arg(i).arg(status.toInt()));
                co_return true;
            }
        }
        if (engineGone || m_abortStart || generation != m_engineGeneration)
            co_return false;
        if (i < limitSeconds)
            co_await sleepSeconds(1);
    }
    diagLog(QStringLiteral("S3 API did not respond after %1 seconds").arg(limitSeconds));
    co_return false;
}

void ServerManager::stopSeaweedFS()
{
    if (QProcess *process = m_seaweedProcess) {
        m_seaweedProcess = nullptr;
        if (process->state() == QProcess::NotRunning) {
            engineFinished(process);
        } else {
            m_exitingEngines.append(process);
            process->terminate();
            // The engine does not always exit on a polite request; its data
            // is written through before each request is answered, so the
            // kill signal loses nothing.
            QTimer::singleShot(m_config.engineStopGraceMs, process, [process] { process->kill(); });
        }
    }
    setSeaweedStatus(SeaweedFSStatus::stopped());
}

void ServerManager::engineFinished(QProcess *process)
{
    bool unexpected = false;
    if (process == m_seaweedProcess) {
        handleEngineOutput();
        flushEngineOutput(true);
        // Exits during start are reported by the start itself.
        if (m_seaweedStatus.kind == SeaweedFSStatus::Kind::Running) {
            diagLog(QStringLiteral("SeaweedFS exited unexpectedly (exit code %1)").arg(process->exitCode()));
            setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Exited unexpectedly")));
            unexpected = true;
        }
        m_seaweedProcess = nullptr;
    }
    m_exitingEngines.removeAll(process);
    m_exitingEngines.removeAll(nullptr);
    if (!m_seaweedProcess)
        makeCleanup(m_launchedStoragePath)->removePidFile();
    process->deleteLater();
    if (unexpected && (m_isRunning || m_isStarting) && !m_abortStart)
        scheduleEngineRestart();
}

void ServerManager::scheduleEngineRestart()
{
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    m_engineExits.append(now);
    m_engineExits.removeIf([&](qint64 t) { return now - t > m_config.exitWindowMs; });

    const qsizetype exits = m_engineExits.size();
    if (exits >= m_config.maxEngineExits) {
        const int minutes = m_config.exitWindowMs / 60000;
        diagLog(QStringLiteral("SeaweedFS exited %1 times within %2 minutes; not starting it again").arg(exits).arg(minutes));
        setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Exited %1 times in %2 minutes").arg(exits).arg(minutes)));
        setError(QStringLiteral("SeaweedFS keeps exiting (%1 times in %2 minutes) and was not started again. "
                                "Stop and start the server to try again.")
                     .arg(exits)
                     .arg(minutes));
        return;
    }
    // 1 s, 2 s, 4 s ... between restarts, never more than the cap.
    const qint64 delay = std::min<qint64>(m_config.restartMaxMs, qint64(m_config.restartBaseMs) << std::min<qsizetype>(exits - 1, 20));
    diagLog(QStringLiteral("Restarting SeaweedFS in %1 ms").arg(delay));
    setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Exited unexpectedly")));
    if (!m_restartTimer) {
        m_restartTimer = new QTimer(this);
        m_restartTimer->setSingleShot(true);
        connect(m_restartTimer, &QTimer::timeout, this, [this] { restartEngine(); });
    }
    m_restartTimer->start(int(delay));
}

QCoro::Task<> ServerManager::restartEngine()
{
    ++m_restartsRunning;
    const auto finished = qScopeGuard([this] {
        --m_restartsRunning;
        Q_EMIT restartFinished();
    });
    const quint64 generation = m_engineGeneration;
    const QString storagePath = m_launchedStoragePath;
    const QString executable = m_launchedExecutable;
    co_await killStaleProcesses();
    if (generation != m_engineGeneration)
        co_return;
    removeStaleLockFiles(storagePath);
    const std::optional<ServerError> failure = co_await startSeaweedFS(executable, storagePath);
    if (generation != m_engineGeneration) {
        // Stopped meanwhile: whatever this restart launched goes too.
        stopSeaweedFS();
        co_return;
    }
    if (failure) {
        diagLog(QStringLiteral("SeaweedFS restart failed: ") + failure->description());
        stopSeaweedFS();
        scheduleEngineRestart();
        co_return;
    }
    diagLog(QStringLiteral("SeaweedFS restarted"));
    if (m_config.verifyWritable)
        co_await waitUntilWritable(m_config.probeLimitSeconds, generation);
}

QCoro::Task<> ServerManager::restartsFinished()
{
    while (m_restartsRunning > 0)
        co_await qCoro(this, &ServerManager::restartFinished);
}

void ServerManager::cancelEngineRestart()
{
    ++m_engineGeneration;
    if (m_restartTimer)
        m_restartTimer->stop();
    m_engineExits.clear();
}

QCoro::Task<bool> ServerManager::waitForEngineExit(int timeoutMs)
{
    using namespace std::chrono_literals;
    for (int waited = 0;; waited += 50) {
        m_exitingEngines.removeAll(nullptr);
        if (m_exitingEngines.isEmpty() && !m_seaweedProcess)
            co_return true;
        if (waited >= timeoutMs)
            co_return false;
        co_await QCoro::sleepFor(50ms);
    }
}

QCoro::Task<> ServerManager::killStaleProcesses()
{
    const int grace = m_config.engineStopGraceMs;
    co_await waitForEngineExit(grace + 2000);
    auto cleanup = makeCleanup(m_launchedStoragePath);
    const int stopped = co_await cleanup->stopStaleEngines(grace);
    const QList<quint16> ports = {quint16(m_config.s3Port), quint16(m_config.masterPort), quint16(m_config.volumePort),
                                  quint16(m_config.filerPort)};
    cleanup->reportForeignPortHolders(ports);
    // A process that was just killed may hold its ports a moment longer.
    if (stopped > 0)
        co_await sleepSeconds(1);
}

void ServerManager::removeStaleLockFiles(const QString &storagePath)
{
    QDir dir(storagePath);
    if (!dir.exists()) {
        diagLog(QStringLiteral("Failed to scan for lock files: folder %1 does not exist").arg(storagePath));
        return;
    }
    // Files only: a folder that happens to end in .lock is not a lock.
    const QStringList names = dir.entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        QFile::remove(storagePath + QLatin1Char('/') + name);
        diagLog(QStringLiteral("Removed stale lock file: ") + name);
    }
}

} // namespace tavrolin
