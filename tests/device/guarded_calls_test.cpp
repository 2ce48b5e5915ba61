// The guarded driver calls: they reach the driver only with an open device, pass the
// device handle first, and answer an empty entry point with its box and status 1.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/driver_binding.h"
#include "test_platform.h"

namespace kx {
namespace {

struct GuardedCall {
    EntryPoint entry;
    std::function<FT_STATUS()> call;
};

std::vector<GuardedCall> CallsWithDevice() {
    static std::uint8_t buffer[4];
    static DWORD count;
    static DWORD rx, tx, events;
    return {
        {kFT_Read, [] { return DrvRead(buffer, 1, &count); }},
        {kFT_Write, [] { return DrvWrite(buffer, 1, &count); }},
        {kFT_Close, [] { return DrvClose(); }},
        {kFT_ResetDevice, [] { return DrvResetDevice(); }},
        {kFT_Purge, [] { return DrvPurge(FT_PURGE_RX); }},
        {kFT_SetTimeouts, [] { return DrvSetTimeouts(60000, 60000); }},
        {kFT_GetStatus, [] { return DrvGetStatus(&rx, &tx, &events); }},
        {kFT_SetBaudRate, [] { return DrvSetBaudRate(38400); }},
        {kFT_SetDataCharacteristics, [] { return DrvSetDataCharacteristics(8, 0, 0); }},
        {kFT_SetFlowControl, [] { return DrvSetFlowControl(0, 0x11, 0x13); }},
        {kFT_SetDivisor, [] { return DrvSetDivisor(6); }},
        {kFT_SetEventNotification,
         [] { return DrvSetEventNotification(FT_EVENT_RXCHAR, nullptr); }},
    };
}

FT_STATUS OpenDongle() {
    char description[] = "KX Upgrade - Dongle";
    return DrvOpenEx(description, FT_OPEN_BY_DESCRIPTION);
}

class GuardedCallsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UnbindDriverForTesting();
        const std::string path = std::string(KX_STUB_DIR) + "/stub_complete/" + test::kDriverFile;
        ASSERT_TRUE(BindDriver(path.c_str(), m_library, [](const std::string&) {}));
        m_callCount = reinterpret_cast<int (*)()>(test::Symbol(m_library, "stub_call_count"));
        m_lastCall = reinterpret_cast<const char* (*)()>(test::Symbol(m_library, "stub_last_call"));
        m_lastHandle =
            reinterpret_cast<FT_HANDLE (*)()>(test::Symbol(m_library, "stub_last_handle"));
        m_device = reinterpret_cast<FT_HANDLE (*)()>(test::Symbol(m_library, "stub_device_handle"));
        ASSERT_TRUE(m_callCount && m_lastCall && m_lastHandle && m_device);
        SetDriverMessageBox([this](const std::string& text) { m_boxes.push_back(text); });
    }
    void TearDown() override {
        SetDriverMessageBox(nullptr);
        UnbindDriverForTesting();
    }

    platform::LibraryHandle m_library = nullptr;
    int (*m_callCount)() = nullptr;
    const char* (*m_lastCall)() = nullptr;
    FT_HANDLE (*m_lastHandle)() = nullptr;
    FT_HANDLE (*m_device)() = nullptr;
    std::vector<std::string> m_boxes;
};

TEST_F(GuardedCallsTest, WithoutAnOpenDeviceNoCallReachesTheDriver) {
    const int before = m_callCount();
    for (const GuardedCall& guarded : CallsWithDevice()) {
        EXPECT_NE(guarded.call(), FT_OK) << kEntryPointNames[guarded.entry];
    }
    EXPECT_EQ(m_callCount(), before);
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(GuardedCallsTest, AnOpenDeviceGetsEveryCallWithItsHandle) {
    ASSERT_EQ(OpenDongle(), FT_OK);
    EXPECT_EQ(g_hDevice.load(), m_device());
    for (const GuardedCall& guarded : CallsWithDevice()) {
        if (guarded.entry == kFT_Close) {
            continue;
        }
        const int before = m_callCount();
        EXPECT_EQ(guarded.call(), FT_OK);
        EXPECT_EQ(m_callCount(), before + 1);
        EXPECT_STREQ(m_lastCall(), kEntryPointNames[guarded.entry]);
        EXPECT_EQ(m_lastHandle(), m_device());
    }
}

TEST_F(GuardedCallsTest, CloseEndsAccessAndASecondCloseFailsWithoutEffect) {
    ASSERT_EQ(OpenDongle(), FT_OK);
    EXPECT_EQ(DrvClose(), FT_OK);
    const int afterClose = m_callCount();
    EXPECT_NE(DrvClose(), FT_OK);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_NE(DrvGetStatus(&rx, &tx, &events), FT_OK);
    EXPECT_EQ(m_callCount(), afterClose);
    // The handle keeps its value; only an open writes it.
    EXPECT_EQ(g_hDevice.load(), m_device());
}

TEST_F(GuardedCallsTest, AnotherDescriptionDoesNotOpen) {
    char other[] = "KX Upgrade - Dongle 2";
    EXPECT_NE(DrvOpenEx(other, FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_FALSE(DeviceIsOpen());
}

TEST_F(GuardedCallsTest, AnEmptyEntryPointShowsItsBoxAndReturnsOne) {
    ASSERT_EQ(OpenDongle(), FT_OK);
    std::vector<GuardedCall> calls = CallsWithDevice();
    calls.push_back({kFT_OpenEx, [] { return OpenDongle(); }});
    ASSERT_EQ(calls.size(), 13u);
    for (const GuardedCall& guarded : calls) {
        void* saved = g_driver.entry[guarded.entry];
        g_driver.entry[guarded.entry] = nullptr;
        m_boxes.clear();
        const int before = m_callCount();

        EXPECT_EQ(guarded.call(), 1u);
        EXPECT_EQ(m_boxes, std::vector<std::string>{std::string(kEntryPointNames[guarded.entry]) +
                                                    " is not valid!"});
        EXPECT_EQ(m_callCount(), before);
        g_driver.entry[guarded.entry] = saved;
    }
}

}  // namespace
}  // namespace kx
