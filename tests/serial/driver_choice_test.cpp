// Which driver library the tool binds on Linux: FTDI's by its plain name where the loader
// finds it, otherwise the serial-port library of the tool's own installation, unless
// KX_DRIVER names one. This binary runs once without and once with a plain-name library
// on the loader's path; each test skips in the setting it is not about.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "device/driver_binding.h"

namespace kx {
namespace {

std::string Canonical(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

bool PlainNameLoads() {
    void* library = dlopen(platform::kDriverLibraryName, RTLD_NOW | RTLD_LOCAL);
    return library != nullptr;
}

class DriverChoiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UnbindDriverForTesting();
        unsetenv(kDriverChoiceVariable);
    }
    void TearDown() override {
        unsetenv(kDriverChoiceVariable);
        UnbindDriverForTesting();
    }

    bool Bind(const char* name) {
        return BindDriver(name, m_library,
                          [this](const std::string& text) { boxes.push_back(text); });
    }

    std::vector<std::string> boxes;

  private:
    platform::LibraryHandle m_library = nullptr;
};

TEST_F(DriverChoiceTest, TheInstallationsSerialLibraryLiesBesideTheExecutable) {
    EXPECT_EQ(platform::InstalledSerialLibraryPath(), Canonical(KX_SERIAL_LIBRARY));
}

TEST_F(DriverChoiceTest, WithoutFtdisLibraryTheSerialLibraryIsBoundAndNamed) {
    if (PlainNameLoads()) {
        GTEST_SKIP() << "a libftd2xx.so is on the loader's path";
    }
    ::testing::internal::CaptureStderr();
    const bool bound = Bind(platform::kDriverLibraryName);
    const std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(bound);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(BoundDriverPath(), Canonical(KX_SERIAL_LIBRARY));
    EXPECT_EQ(said, "KX Upgrade: driver library " + BoundDriverPath() + "\n");
}

TEST_F(DriverChoiceTest, FtdisLibraryWinsWhereTheLoaderFindsIt) {
    if (!PlainNameLoads()) {
        GTEST_SKIP() << "no libftd2xx.so on the loader's path";
    }
    ASSERT_TRUE(Bind(platform::kDriverLibraryName));
    EXPECT_EQ(std::filesystem::path(BoundDriverPath()).filename(), "libftd2xx.so");
    EXPECT_NE(BoundDriverPath(), Canonical(KX_SERIAL_LIBRARY));
}

TEST_F(DriverChoiceTest, KxDriverChoosesOverTheDefault) {
    setenv(kDriverChoiceVariable, "serial", 1);
    ASSERT_TRUE(Bind(platform::kDriverLibraryName));
    EXPECT_EQ(BoundDriverPath(), Canonical(KX_SERIAL_LIBRARY));

    UnbindDriverForTesting();
    setenv(kDriverChoiceVariable, KX_SERIAL_LIBRARY, 1);
    ASSERT_TRUE(Bind(platform::kDriverLibraryName));
    EXPECT_EQ(Canonical(BoundDriverPath()), Canonical(KX_SERIAL_LIBRARY));
}

TEST_F(DriverChoiceTest, AChosenLibraryThatDoesNotLoadHasNoFallback) {
    setenv(kDriverChoiceVariable, "/nonexistent/libftd2xx.so", 1);
    EXPECT_FALSE(Bind(platform::kDriverLibraryName));
    EXPECT_FALSE(g_driverLoaded);
    EXPECT_EQ(boxes, std::vector<std::string>{"Error: Can't Load ft8u245.dll"});
    EXPECT_EQ(BoundDriverPath(), "");
}

TEST_F(DriverChoiceTest, ANameOtherThanTheDefaultIsLoadedAsGiven) {
    setenv(kDriverChoiceVariable, "serial", 1);  // does not apply to a given path
    EXPECT_FALSE(Bind("/nonexistent/libftd2xx.so"));
    EXPECT_EQ(boxes, std::vector<std::string>{"Error: Can't Load ft8u245.dll"});
}

}  // namespace
}  // namespace kx
