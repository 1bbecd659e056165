#include "app/HeadlessRunner.h"

#include <QCoreApplication>
#include <cstdio>

#include "platform/TerminationSignals.h"
#include "server/ServerManager.h"

namespace tavrolin {

namespace {

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

HeadlessRunner::HeadlessRunner(ServerManager &manager, DevicePorts ports, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_ports(ports)
{
}

void HeadlessRunner::run()
{
    connect(new TerminationSignals(this), &TerminationSignals::received, this, &HeadlessRunner::onSignal);

    connect(&m_manager, &ServerManager::startupStatusChanged, this, [this] {
        if (!m_manager.startupStatus().isEmpty())
            printLine(stdout, m_manager.startupStatus());
    });
    startAndReport();
}

QCoro::Task<> HeadlessRunner::startAndReport()
{
    co_await m_manager.startServer();
    if (m_stopping)
        co_return;
    if (m_manager.isRunning()) {
        const QString host = m_manager.localIP().isEmpty() ? QStringLiteral("localhost") : m_manager.localIP();
        printLine(stdout, QStringLiteral("Server running: S3 gateway at http://%1:%2, storage %3, %4 objects")
                              .arg(host)
                              .arg(m_manager.port())
                              .arg(m_manager.storageInfoValue().path)
                              .arg(m_manager.objectCount()));
        if (m_manager.localIP().isEmpty())
            printLine(stdout, QStringLiteral("No network address found: devices on the network cannot reach the server yet"));
        else
            printLine(stdout, QStringLiteral("Set up devices with: S3 http://%1:%2 (bucket \"photos\"), API http://%1:%3, QUIC %1 UDP %4")
                                  .arg(host)
                                  .arg(m_manager.port())
                                  .arg(m_ports.api)
                                  .arg(m_ports.quic));
        if (!m_manager.bucketReady())
            printLine(stderr, QStringLiteral("Warning: the 'photos' bucket could not be created"));
        co_return;
    }
    printLine(stderr, QStringLiteral("Server did not start: ") + m_manager.error());
    // A failed attempt's engine may still be exiting; do not leave it behind.
    co_await m_manager.shutdown(15000);
    QCoreApplication::exit(1);
}

void HeadlessRunner::onSignal()
{
    if (m_stopping)
        return;
    m_stopping = true;
    stopAndQuit();
}

QCoro::Task<> HeadlessRunner::stopAndQuit()
{
    printLine(stdout, QStringLiteral("Stopping..."));
    co_await m_manager.shutdown(15000);
    printLine(stdout, QStringLiteral("Server stopped"));
    QCoreApplication::exit(0);
}

} // namespace tavrolin
