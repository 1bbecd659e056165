// Registers devices in a loop until killed; the registry test kills it at
// random moments and checks that the file it leaves is always readable.
#include <QCoreApplication>

#include "services/DeviceRegistry.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    tavrolin::DeviceRegistry registry(QString::fromLocal8Bit(argv[1]));
    for (int i = 0;; ++i)
        QCoro::waitFor(registry.registerDevice(QString("device-%1").arg(i % 500), QString("Phone %1").arg(i),
                                               tavrolin::ConnectionType::Lan, "192.0.2.1"));
}
