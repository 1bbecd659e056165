// Times updateObjectCount over a bucket of many keys against a bare paging
// loop (boto3, bench/bare_count.py) on the same engine in the same run.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <algorithm>
#include <cstdio>

#include "platform/DiagnosticLog.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int keys = args.size() > 1 ? args[1].toInt() : 10000;
    const QString python = args.size() > 2 ? args[2] : QString(".venv/bin/python");
    const QString bare = args.size() > 3 ? args[3] : QString("bench/bare_count.py");
    constexpr int rounds = 5;

    Sandbox sandbox;
    const EnginePorts ports = freeEnginePorts();
    QSettings(sandbox.settings(), QSettings::IniFormat).setValue("storagePath", sandbox.storage());
    ServerManager manager(testConfig(sandbox, ports, realEnginePath()));
    runTask(manager.startServer());
    if (!manager.isRunning()) {
        std::fprintf(stderr, "engine did not start: %s\n", qPrintable(manager.error()));
        return 1;
    }
    QStringList names;
    for (int i = 0; i < keys; ++i)
        names << QString("2026/12/IMG_%1.jpg").arg(i, 5, 10, QChar('0'));
    std::fprintf(stderr, "putting %d objects...\n", keys);
    if (!putObjects(ports.s3, "photos", names))
        return 1;

    QList<double> ours, theirs;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        runTask(manager.updateObjectCount());
        ours << timer.nsecsElapsed() / 1e9;
        if (manager.objectCount() != keys) {
            std::fprintf(stderr, "wrong count %lld\n", manager.objectCount());
            return 1;
        }

        QProcess loop;
        loop.start(python, {bare, QString::number(ports.s3)});
        loop.waitForFinished(600000);
        const QList<QByteArray> fields = loop.readAllStandardOutput().trimmed().split(' ');
        if (fields.size() != 2 || fields[0].toInt() != keys) {
            std::fprintf(stderr, "bare loop failed: %s\n", loop.readAllStandardError().constData());
            return 1;
        }
        theirs << fields[1].toDouble();
    }
    runTask(manager.shutdown(15000));

    std::printf("count of %d keys: updateObjectCount median %.3f s, bare boto3 paging median %.3f s, ratio %.2f (goal <= 1.20)\n",
                keys, median(ours), median(theirs), median(ours) / median(theirs));
    return 0;
}
