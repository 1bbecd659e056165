#include <gtest/gtest.h>

#include "platform/NetworkInterfaces.h"

using namespace tavrolin::NetworkInterfaces;

TEST(NetworkInterfaces, PrefersTheDefaultRouteInterfaceThenTheFirstUsable)
{
    const QList<Candidate> interfaces = {
        {"lo", true, true, {"127.0.0.1"}},
        {"docker0", false, false, {"172.17.0.1"}},   // down
        {"wlan0", true, false, {}},                   // no IPv4
        {"eth0", true, false, {"192.168.1.5", "192.168.1.6"}},
        {"wlp2s0", true, false, {"10.0.0.7"}},
    };
    EXPECT_EQ(pickLocalIPv4(interfaces, "wlp2s0"), "10.0.0.7");
    EXPECT_EQ(pickLocalIPv4(interfaces, ""), "192.168.1.5");
    EXPECT_EQ(pickLocalIPv4(interfaces, "docker0"), "192.168.1.5"); // default route on a down interface
    EXPECT_EQ(pickLocalIPv4({{"lo", true, true, {"127.0.0.1"}}}, "lo"), "");
}

TEST(NetworkInterfaces, ReadsTheDefaultRouteInterface)
{
    const QByteArray routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth1\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(parseDefaultRouteInterface(routes), "eth0");
    EXPECT_EQ(parseDefaultRouteInterface("Iface\tDestination\n"), "");
}
