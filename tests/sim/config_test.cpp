// Settings from a configuration file and the environment; dump files.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim_fixture.h"
#include "test_platform.h"

namespace {

namespace fs = std::filesystem;

class ConfigTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        m_dir = fs::temp_directory_path() /
                ("kxsim-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        SimTest::TearDown();
        fs::remove_all(m_dir);
    }
    std::string WriteConfig(const std::string& text) {
        const fs::path path = m_dir / "kxsim.conf";
        std::ofstream(path) << text;
        return path.string();
    }
    fs::path m_dir;
};

TEST_F(ConfigTest, FileSettingsTakeEffect) {
    const std::string path = WriteConfig(
        "# demo dongle\n"
        "name = DEMO 7\n"
        "id=KX-DEMO\n"
        "  announce_delay_ms = 30   # quicker\n"
        "latency_ms = 2\n"
        "flash_base = 0x10000\n"
        "flash_size = 4096\n"
        "\n"
        "progress_text = on\n");
    ASSERT_EQ(kxsim_load_config(path.c_str()), 0);
    FT_HANDLE h = OpenConnected();
    EXPECT_TRUE(After(h, 30).empty());
    EXPECT_EQ(Text(After(h, 20)), "\r\n\r\nKX DEMO 7\r\n\x11");
    EXPECT_EQ(kxsim_flash_base(), 0x10000u);
    EXPECT_EQ(kxsim_flash(nullptr, 0), 4096u);
    Write(h, Record('S', '0',
                    "0000"
                    "4B582D44454D4F"));  // "KX-DEMO"
    EXPECT_TRUE(After(h, 50).empty()) << "the configured id is accepted";
}

TEST_F(ConfigTest, BadLinesAreReportedByNumber) {
    EXPECT_EQ(kxsim_load_config(WriteConfig("name = A\nspeed = fast\n").c_str()), 2);
    EXPECT_EQ(kxsim_load_config(WriteConfig("colour = blue\n").c_str()), 1);
    EXPECT_EQ(kxsim_load_config(WriteConfig("latency_ms\n").c_str()), 1);
    EXPECT_EQ(kxsim_load_config(WriteConfig("announce_repeat_ms = 10000\n"
                                            "announce_delay_ms = 10001\n")
                                    .c_str()),
              2)
        << "announcements are at most 10 s apart";
    EXPECT_EQ(kxsim_load_config(WriteConfig("announce_from_open = maybe\n").c_str()), 1);
    EXPECT_EQ(kxsim_load_config((m_dir / "missing.conf").string().c_str()), -1);
}

TEST_F(ConfigTest, EnvironmentOverridesTheFileItNames) {
    const std::string path = WriteConfig("name = FROM FILE\nplug_delay_ms = 250\n");
    kx::test::SetEnv("KXSIM_CONFIG", path.c_str());
    kx::test::SetEnv("KXSIM_NAME", "FROM ENV");
    const int result = kxsim_apply_environment();
    kx::test::UnsetEnv("KXSIM_CONFIG");
    kx::test::UnsetEnv("KXSIM_NAME");
    ASSERT_EQ(result, 0);

    EXPECT_EQ(kxsim_is_plugged(), 0) << "a plug-in delay starts unplugged";
    kxsim_advance_ms(250);
    EXPECT_EQ(kxsim_is_plugged(), 1);
    FT_HANDLE h = OpenConnected();
    EXPECT_EQ(Text(After(h, 200)), "\r\n\r\nKX FROM ENV\r\n\x11");

    kx::test::SetEnv("KXSIM_SPEED", "-3");
    EXPECT_EQ(kxsim_apply_environment(), -2);
    kx::test::UnsetEnv("KXSIM_SPEED");
}

TEST_F(ConfigTest, PacketsAndFlashAreDumpedWhenThePortCloses) {
    const fs::path packets = m_dir / "packets.txt";
    const fs::path flash = m_dir / "flash.bin";
    kxsim_set_dump(packets.string().c_str(), flash.string().c_str());
    FT_HANDLE h = OpenConnected();
    Write(h, "S0030000FC");
    ft.SetDivisor(h, 6);
    ft.SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
    const char tricky[] = {'A', '\\', '\r', '\n', static_cast<char>(0xA9)};
    DWORD written = 0;
    ft.Write(h, const_cast<char*>(tricky), sizeof tricky, &written);
    EXPECT_FALSE(fs::exists(packets));
    ASSERT_EQ(ft.Close(h), FT_OK);

    std::ifstream text(packets);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(text, line)) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"0 38400 8N1 10 S0030000FC",
                                               "1 500000 8N2 5 A\\x5C\\x0D\\x0A\\xA9"}));
    EXPECT_EQ(ReadFile(flash.string()), Flash());
}

}  // namespace
