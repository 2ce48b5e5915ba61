// Binding the driver at start-up: a complete library, one without each entry point, and
// none at all. Each failure shows exactly one box and ends the window before the
// reconnect timer is armed.
#include <gtest/gtest.h>

#include <string>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "recording_window.h"
#include "test_platform.h"

namespace kx {
namespace {

std::string StubPath(const std::string& name) {
    return std::string(KX_STUB_DIR) + "/" + name + "/" + kx::test::kDriverFile;
}

class BindingTest : public ::testing::Test {
  protected:
    void SetUp() override { UnbindDriverForTesting(); }
    void TearDown() override { UnbindDriverForTesting(); }
};

TEST_F(BindingTest, CompleteLibraryFoundByPlainNameArmsTheReconnectTimer) {
    test::RecordingWindow window;
    CUpgradeDlg dlg(window);  // the loader's search: LD_LIBRARY_PATH names the stub
    window.Attach(&dlg);
    EXPECT_TRUE(dlg.OnInitDialog());

    EXPECT_TRUE(g_driverLoaded);
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_FALSE(window.Ended());
    EXPECT_TRUE(window.TimerArmed(TimerId::Reconnect));
    for (int i = 0; i < kEntryPointCount; ++i) {
        EXPECT_NE(g_driver.entry[i], nullptr) << kEntryPointNames[i];
    }
    // The stub has no latency-timer calls: that is no error, and their calls show nothing.
    EXPECT_EQ(g_driver.optional[kFT_SetLatencyTimer], nullptr);
    EXPECT_EQ(g_driver.optional[kFT_GetLatencyTimer], nullptr);
    UCHAR latency = 0;
    EXPECT_EQ(DrvGetLatencyTimer(&latency), static_cast<FT_STATUS>(FT_NOT_SUPPORTED));
    EXPECT_EQ(DrvSetLatencyTimer(kLowLatencyMs), static_cast<FT_STATUS>(FT_NOT_SUPPORTED));
    EXPECT_TRUE(window.Boxes().empty());
    // Start-up leaves the texts empty and the link line to the first timer tick.
    EXPECT_EQ(window.Connection(), "");
    EXPECT_EQ(window.Transfer(), "");
    EXPECT_EQ(window.Log(), "");
    EXPECT_EQ(window.ProgressPos(), 0u);
    EXPECT_TRUE(window.ExitEnabled());
}

TEST_F(BindingTest, MissingLibraryShowsOneBoxAndEndsTheWindow) {
    test::RecordingWindow window;
    CUpgradeDlg dlg(window, "/nonexistent/libftd2xx.so");
    window.Attach(&dlg);
    dlg.OnInitDialog();

    EXPECT_FALSE(g_driverLoaded);
    EXPECT_EQ(window.Boxes(), std::vector<std::string>{"Error: Can't Load ft8u245.dll"});
    EXPECT_TRUE(window.Ended());
    EXPECT_EQ(window.EndResult(), DialogResult::Cancel);
    EXPECT_FALSE(window.TimerArmed(TimerId::Reconnect));
}

class MissingEntryPoint : public BindingTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingEntryPoint, NamesItAndLeavesTheRestUnresolved) {
    const int missing = GetParam();
    test::RecordingWindow window;
    const std::string path = StubPath("stub_omit_" + std::to_string(missing));
    CUpgradeDlg dlg(window, path.c_str());
    window.Attach(&dlg);
    dlg.OnInitDialog();

    EXPECT_FALSE(g_driverLoaded);
    EXPECT_EQ(window.Boxes(), std::vector<std::string>{std::string("Error: Can't Find ") +
                                                       kEntryPointNames[missing]});
    EXPECT_TRUE(window.Ended());
    EXPECT_EQ(window.EndResult(), DialogResult::Cancel);
    EXPECT_FALSE(window.TimerArmed(TimerId::Reconnect));
    for (int i = 0; i < kEntryPointCount; ++i) {
        EXPECT_EQ(g_driver.entry[i] != nullptr, i < missing) << kEntryPointNames[i];
    }
}

INSTANTIATE_TEST_SUITE_P(EachOfSixteen, MissingEntryPoint,
                         ::testing::Range(0, static_cast<int>(kEntryPointCount)),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(kEntryPointNames[param.param]);
                         });

TEST_F(BindingTest, EntryPointsAreResolvedInTheirFixedOrder) {
    const char* const expected[] = {"FT_Write",
                                    "FT_Read",
                                    "FT_Open",
                                    "FT_OpenEx",
                                    "FT_ListDevices",
                                    "FT_Close",
                                    "FT_ResetDevice",
                                    "FT_Purge",
                                    "FT_SetTimeouts",
                                    "FT_GetQueueStatus",
                                    "FT_GetStatus",
                                    "FT_SetBaudRate",
                                    "FT_SetDataCharacteristics",
                                    "FT_SetFlowControl",
                                    "FT_SetDivisor",
                                    "FT_SetEventNotification"};
    ASSERT_EQ(std::size(expected), static_cast<std::size_t>(kEntryPointCount));
    for (int i = 0; i < kEntryPointCount; ++i) {
        EXPECT_STREQ(kEntryPointNames[i], expected[i]);
    }
}

}  // namespace
}  // namespace kx
