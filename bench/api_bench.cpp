// The local JSON API under load, for bench/api.
//   api_bench serve PORT REGISTRY_FILE   serves until killed
//   api_bench register PORT COUNT         COUNT sequential registrations; prints the mean in ms
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <cstdio>

#include "services/DeviceRegistry.h"
#include "services/TavroAPIServer.h"

using namespace tavrolin;

namespace {

bool registerOnce(quint16 port, int i)
{
    const QByteArray body = "{\"deviceId\":\"bench-" + QByteArray::number(i % 50) + "\",\"deviceName\":\"Bench phone\"}";
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return false;
    socket.write("POST /api/tavro/register-device HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
                 + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    reply += socket.readAll();
    return reply.startsWith("HTTP/1.1 200 OK");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "serve") {
        static DeviceRegistry registry(args[3]);
        static TavroAPIServer server(registry, quint16(args[2].toUInt()));
        server.startListening();
        if (!server.isRunning())
            return 1;
        return app.exec();
    }
    if (args.size() == 4 && args[1] == "register") {
        const quint16 port = quint16(args[2].toUInt());
        const int count = args[3].toInt();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i) {
            if (!registerOnce(port, i)) {
                std::fprintf(stderr, "registration %d failed\n", i);
                return 1;
            }
        }
        std::printf("%.3f\n", double(timer.nsecsElapsed()) / 1e6 / count);
        return 0;
    }
    std::fputs("usage: api_bench serve PORT REGISTRY_FILE | api_bench register PORT COUNT\n", stderr);
    return 2;
}
