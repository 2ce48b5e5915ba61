// Finding the dongle among the kernel's ttys on a fake sysfs tree: only a USB device whose
// whole product string is "KX Upgrade - Dongle" is opened by description.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_finder.h"
#include "fake_devices.h"
#include "pty_pair.h"
#include "serial_driver.h"

namespace kxserial::test {
namespace {

class DiscoveryTest : public ::testing::Test {
  protected:
    // Every tty gets a pty of its own behind its node, so a test can tell which one opened.
    PtyPair& Node(const std::string& tty) {
        ptys.push_back(std::make_unique<PtyPair>());
        devices.LinkNode(tty, ptys.back()->SlaveName());
        return *ptys.back();
    }

    // Which pty receives what is written through `handle`.
    static bool Reaches(const SerialDriver& driver, FT_HANDLE handle, PtyPair& pty) {
        char probe[] = "probe";
        DWORD written = 0;
        return driver.Write(handle, probe, 5, &written) == FT_OK && written == 5 &&
               pty.Receive(2000) == "probe";
    }

    FakeDevices devices;
    std::vector<std::unique_ptr<PtyPair>> ptys;
    SerialDriver driver;
};

TEST_F(DiscoveryTest, OpensTheOneTtyWhoseUsbDeviceIsTheDongle) {
    devices.AddPlatformTty("ttyS0");
    devices.AddUsbTty("ttyUSB0", "FT232R USB UART\n", "A50285BI\n");
    devices.AddDongle("ttyUSB1");
    devices.AddUsbTty("ttyACM0", "KX Upgrade - Dongle 2\n");
    Node("ttyS0");
    PtyPair& other = Node("ttyUSB0");
    PtyPair& dongle = Node("ttyUSB1");
    Node("ttyACM0");

    FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver.OpenDongle(&handle), FT_OK);
    EXPECT_TRUE(Reaches(driver, handle, dongle));
    EXPECT_EQ(other.Receive(50), "");
    EXPECT_EQ(driver.Close(handle), FT_OK);
}

TEST_F(DiscoveryTest, NoDongleAmongSeveralTtysIsNotFound) {
    devices.AddPlatformTty("ttyS0");
    devices.AddUsbTty("ttyUSB0", "FT232R USB UART\n");
    devices.AddUsbTty("ttyUSB1", "");  // a device without a product string
    Node("ttyS0");
    Node("ttyUSB0");
    Node("ttyUSB1");

    FT_HANDLE handle = nullptr;
    EXPECT_EQ(driver.OpenDongle(&handle), FT_DEVICE_NOT_FOUND);
}

// Only the kernel's one trailing newline is dropped; everything else must match exactly.
struct ProductFile {
    const char* name;
    const char* text;
};

class NearMiss : public DiscoveryTest, public ::testing::WithParamInterface<ProductFile> {};

TEST_P(NearMiss, IsNotTheDongle) {
    devices.AddUsbTty("ttyUSB0", GetParam().text);
    Node("ttyUSB0");
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(driver.OpenDongle(&handle), FT_DEVICE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(ProductStrings, NearMiss,
                         ::testing::Values(ProductFile{"TrailingSpace", "KX Upgrade - Dongle \n"},
                                           ProductFile{"LeadingSpace", " KX Upgrade - Dongle\n"},
                                           ProductFile{"LongerName", "KX Upgrade - Dongle2\n"},
                                           ProductFile{"Shorter", "KX Upgrade - Dongl\n"},
                                           ProductFile{"OtherCase", "kx upgrade - dongle\n"},
                                           ProductFile{"TwoNewlines", "KX Upgrade - Dongle\n\n"},
                                           ProductFile{"CarriageReturn", "KX Upgrade - Dongle\r\n"},
                                           ProductFile{"Prefix", "KX Upgrade\n"}),
                         [](const ::testing::TestParamInfo<ProductFile>& product) {
                             return product.param.name;
                         });

TEST_F(DiscoveryTest, AProductStringWithoutNewlineStillMatches) {
    devices.AddUsbTty("ttyUSB0", "KX Upgrade - Dongle");
    PtyPair& dongle = Node("ttyUSB0");
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(driver.OpenDongle(&handle), FT_OK);
    EXPECT_TRUE(Reaches(driver, handle, dongle));
    driver.Close(handle);
}

TEST_F(DiscoveryTest, ADongleWithoutItsNodeCannotBeOpened) {
    devices.AddDongle("ttyUSB0");
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(driver.OpenDongle(&handle), FT_DEVICE_NOT_FOUND);
}

TEST_F(DiscoveryTest, AnOpenDongleIsNotOpenedTwiceButASecondOneIs) {
    devices.AddDongle("ttyUSB0");
    devices.AddDongle("ttyUSB1");
    PtyPair& first = Node("ttyUSB0");
    PtyPair& second = Node("ttyUSB1");

    FT_HANDLE a = nullptr;
    FT_HANDLE b = nullptr;
    FT_HANDLE c = nullptr;
    ASSERT_EQ(driver.OpenDongle(&a), FT_OK);
    ASSERT_EQ(driver.OpenDongle(&b), FT_OK);
    EXPECT_NE(a, b);
    EXPECT_TRUE(Reaches(driver, a, first));
    EXPECT_TRUE(Reaches(driver, b, second));
    EXPECT_EQ(driver.OpenDongle(&c), FT_DEVICE_NOT_OPENED);

    // Closing gives the port back.
    EXPECT_EQ(driver.Close(a), FT_OK);
    ASSERT_EQ(driver.OpenDongle(&c), FT_OK);
    EXPECT_TRUE(Reaches(driver, c, first));
    driver.Close(b);
    driver.Close(c);
}

TEST_F(DiscoveryTest, OpensBySerialNumberAndByIndex) {
    devices.AddUsbTty("ttyUSB0", "FT232R USB UART\n", "A50285BI\n");
    devices.AddUsbTty("ttyUSB1", "KX Upgrade - Dongle\n", "KX000001\n");
    PtyPair& adapter = Node("ttyUSB0");
    PtyPair& dongle = Node("ttyUSB1");

    FT_HANDLE handle = nullptr;
    char serial[] = "KX000001";
    ASSERT_EQ(driver.OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK);
    EXPECT_TRUE(Reaches(driver, handle, dongle));
    driver.Close(handle);

    ASSERT_EQ(driver.Open(0, &handle), FT_OK);
    EXPECT_TRUE(Reaches(driver, handle, adapter));
    driver.Close(handle);
    EXPECT_EQ(driver.Open(2, &handle), FT_DEVICE_NOT_FOUND);
}

TEST_F(DiscoveryTest, ListsUsbTtysInNumberOrder) {
    devices.AddPlatformTty("ttyS0");
    devices.AddUsbTty("ttyUSB10", "Ten\n", "S10\n");
    devices.AddUsbTty("ttyUSB2", "Two\n", "S2\n");
    devices.AddDongle("ttyACM0");

    const std::vector<UsbTty> found = FindUsbTtys(DeviceRoots::FromEnvironment());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, "ttyACM0");
    EXPECT_EQ(found[0].description, "KX Upgrade - Dongle");
    EXPECT_EQ(found[1].name, "ttyUSB2");
    EXPECT_EQ(found[2].name, "ttyUSB10");
    EXPECT_EQ(found[2].serial, "S10");

    DWORD count = 0;
    ASSERT_EQ(driver.ListDevices(&count, nullptr, 0x80000000 /* number only */), FT_OK);
    EXPECT_EQ(count, 3u);

    char text[64] = {};
    const auto byIndex = [&](std::uintptr_t index, DWORD what) {
        return driver.ListDevices(reinterpret_cast<PVOID>(index), text, 0x40000000 | what);
    };
    ASSERT_EQ(byIndex(0, FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_STREQ(text, "KX Upgrade - Dongle");
    ASSERT_EQ(byIndex(1, FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(text, "S2");
    EXPECT_EQ(byIndex(3, FT_OPEN_BY_DESCRIPTION), FT_DEVICE_NOT_FOUND);

    char names[3][64] = {};
    char* buffers[4] = {names[0], names[1], names[2], nullptr};
    count = 0;
    ASSERT_EQ(driver.ListDevices(buffers, &count, 0x20000000 | FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_STREQ(names[1], "Two");
    EXPECT_STREQ(names[2], "Ten");
}

TEST_F(DiscoveryTest, LocationsAreTheUsbBusAndPortPath) {
    EXPECT_EQ(UsbLocation("1-2"), 0x12u);
    EXPECT_EQ(UsbLocation("1-2.3"), 0x123u);
    EXPECT_EQ(UsbLocation("3-1.4.2"), 0x3142u);
    EXPECT_EQ(UsbLocation("12-1"), 0xC1u);
    EXPECT_EQ(UsbLocation("usb1"), 0u);     // a root hub
    EXPECT_EQ(UsbLocation("1-1:1.0"), 0u);  // an interface, not a device
    EXPECT_EQ(UsbLocation("1-16"), 0u);     // a port beyond one digit
    EXPECT_EQ(UsbLocation("1-"), 0u);
    EXPECT_EQ(UsbLocation("1-1..2"), 0u);
    EXPECT_EQ(UsbLocation("1-1.2.3.4.5.6.7.8"), 0u);  // more than 32 bits

    // Two dongles with one serial number (clone chips): the location tells them apart.
    devices.AddUsbTty("ttyUSB0", "KX Upgrade - Dongle\n", "KX000001\n");
    devices.AddUsbTty("ttyUSB1", "KX Upgrade - Dongle\n", "KX000001\n");
    Node("ttyUSB0");
    PtyPair& second = Node("ttyUSB1");
    DWORD location = 0;
    ASSERT_EQ(driver.ListDevices(reinterpret_cast<PVOID>(std::uintptr_t{1}), &location,
                                 0x40000000 | FT_OPEN_BY_LOCATION),
              FT_OK);
    EXPECT_EQ(location, 0x12u);  // the fake tree's second device, 1-2
    DWORD all[2] = {};
    DWORD count = 0;
    ASSERT_EQ(driver.ListDevices(all, &count, 0x20000000 | FT_OPEN_BY_LOCATION), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(all[0], 0x11u);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(
        driver.OpenEx(reinterpret_cast<PVOID>(std::uintptr_t{0x12}), FT_OPEN_BY_LOCATION, &handle),
        FT_OK);
    EXPECT_TRUE(Reaches(driver, handle, second));
    driver.Close(handle);
    EXPECT_EQ(
        driver.OpenEx(reinterpret_cast<PVOID>(std::uintptr_t{0x13}), FT_OPEN_BY_LOCATION, &handle),
        FT_DEVICE_NOT_FOUND);
}

}  // namespace
}  // namespace kxserial::test
