#include "ZoqShell/System/NetworkSnapshot.h"
#include "ZoqShell/System/NullNetwork.h"
#include "tests/TestSupport/TempDirectory.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

constexpr auto wired = InterfaceKind::wired;
constexpr auto wireless = InterfaceKind::wireless;
constexpr auto wwan = InterfaceKind::wwan;

// Interfaces shared by the table: 2 Ethernet, 3 Wi-Fi, 4 modem, 5 Ethernet but down.
const std::vector<NetworkInterface> machine = {
    {1, "lo", true, wired},   {2, "eth0", true, wired},  {3, "wlan0", true, wireless},
    {4, "wwan0", true, wwan}, {5, "eth1", false, wired},
};

struct Case {
    const char* name;
    std::vector<DefaultRoute> routes;
    NetworkTransport expected;
};

TEST(NetworkSnapshot, DefaultRouteWithLowestMetricOnALiveInterfaceDecides) {
    const std::vector<Case> cases = {
        {"no default route", {}, NetworkTransport::none},
        {"Ethernet", {{2, 100, false}}, NetworkTransport::ethernet},
        {"Wi-Fi over IPv6 only", {{3, 600, true}}, NetworkTransport::wifi},
        {"modem", {{4, 700, false}}, NetworkTransport::cellular},
        {"loopback counts as wired", {{1, 0, false}}, NetworkTransport::ethernet},
        {"interface down", {{5, 0, false}}, NetworkTransport::none},
        {"unknown interface", {{9, 0, false}}, NetworkTransport::none},
        {"lowest metric wins", {{2, 600, false}, {3, 100, false}}, NetworkTransport::wifi},
        {"order does not matter", {{3, 100, false}, {2, 600, false}}, NetworkTransport::wifi},
        {"a dead lower metric does not hide a live route",
         {{5, 10, false}, {4, 900, false}},
         NetworkTransport::cellular},
        {"metric compares across families", {{3, 1024, true}, {2, 100, false}}, NetworkTransport::ethernet},
        {"equal metric: IPv4 first", {{3, 100, true}, {4, 100, false}}, NetworkTransport::cellular},
        {"equal metric and family: lower index", {{4, 100, false}, {3, 100, false}}, NetworkTransport::wifi},
        {"metric zero beats the largest", {{2, 0xffffffff, false}, {3, 0, false}}, NetworkTransport::wifi},
    };
    for (const Case& c : cases) {
        EXPECT_EQ((NetworkSnapshot{c.routes, machine}.transport()), c.expected) << c.name;
    }
}

TEST(NetworkTransportText, RoundTripsAndRefusesOthers) {
    for (const NetworkTransport transport : {NetworkTransport::none, NetworkTransport::wifi,
                                             NetworkTransport::ethernet, NetworkTransport::cellular}) {
        EXPECT_EQ(networkTransportFromText(toText(transport)), transport);
    }
    EXPECT_EQ(toText(NetworkTransport::cellular), "cellular");
    for (const char* text : {"", "WIFI", "wifi ", "wi-fi"}) {
        EXPECT_THROW(networkTransportFromText(text), CoreError) << text;
    }
    EXPECT_EQ(NullNetwork().currentTransport(), NetworkTransport::wifi);
}

class InterfaceKindTest : public ::testing::Test {
protected:
    test::TempDirectory sysfs;

    fs::path device(const std::string& name) {
        const fs::path path = sysfs / "class" / "net" / name;
        fs::create_directories(path);
        return path;
    }
    void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
};

TEST_F(InterfaceKindTest, ReadsWirelessAndModemMarkersFromSysfs) {
    fs::create_directory(device("wlan0") / "wireless");
    fs::create_directory(device("wlp2s0") / "phy80211");
    write(device("wwan0") / "uevent", "INTERFACE=wwan0\nIFINDEX=4\nDEVTYPE=wwan\n");
    write(device("eth0") / "uevent", "INTERFACE=eth0\nIFINDEX=2\n");
    write(device("br0") / "uevent", "DEVTYPE=bridge\nNOTE=DEVTYPE=wwan is not a line start\n");
    write(device("usb0") / "uevent", "DEVTYPE=wwan");
    device("bare");

    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "wlan0"), wireless);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "wlp2s0"), wireless);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "wwan0"), wwan);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "usb0"), wwan);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "eth0"), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "br0"), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "bare"), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "missing"), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs / "nowhere", "wlan0"), wired);
}

TEST_F(InterfaceKindTest, NeverLeavesTheInterfaceDirectoryOrFollowsALinkedUevent) {
    // A name that climbs out must not pick up markers elsewhere in the tree.
    fs::create_directories(sysfs / "class" / "wireless");
    fs::create_directories(sysfs / "wireless");
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), ".."), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "."), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "../.."), wired);
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), ""), wired);

    write(sysfs / "elsewhere", "DEVTYPE=wwan\n");
    fs::create_symlink(sysfs / "elsewhere", device("tun0") / "uevent");
    EXPECT_EQ(probeInterfaceKind(sysfs.path(), "tun0"), wired);
}

} // namespace
} // namespace zoq
