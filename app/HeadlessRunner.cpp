#include "app/HeadlessRunner.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "server/ServerManager.h"

namespace tavrolin {

namespace {

int g_signalPipe[2] = {-1, -1};

void signalHandler(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop reads the pipe.
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

HeadlessRunner::HeadlessRunner(ServerManager &manager, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
{
}

void HeadlessRunner::run()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &HeadlessRunner::onSignal);
        struct sigaction action = {};
        action.sa_handler = signalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

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
    char buffer[16];
    while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
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
