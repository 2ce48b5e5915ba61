// The fixtures of the tests that run kxupgrade as its own process against simulated
// dongles: a folder of its own, a firmware file, the simulator's variables, and readers
// of the flash dumps, the JSON events and the record.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "child_process.h"
#include "flash_record.h"
#include "json_line.h"
#include "srecord_writer.h"
#include "test_platform.h"
#include "utf8_path.h"

namespace kx::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t kBase = 0x08000000;
// Generous: a hung flasher is killed after this and the test fails.
constexpr auto kHangLimit = 30s;

class CliSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder = MakeTempFolder("kx-cli-sim");
        m_image = TestImage(1024, 7);
        m_file = Write("firmware.dat", FirmwareFile(m_image, kBase, "KX-DONGLE-2"));
        env = {{"LD_LIBRARY_PATH", KX_SIM_DIR},
               {"KXSIM_SPEED", "20"},
               {"KXSIM_DUMP_FLASH", m_folder + "/flash.bin"}};
    }
    void TearDown() override { fs::remove_all(m_folder); }

    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = m_folder + "/" + name;
        std::ofstream(PathFromUtf8(path), std::ios::binary) << content;
        return path;
    }

    ChildProcess Start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{KX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess(argv, env, m_folder);
    }

    std::vector<std::uint8_t> FlashImage() const {
        std::ifstream in(m_folder + "/flash.bin", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    ChildProcess::Env env;
    std::string m_folder;
    std::string m_file;
    std::vector<std::uint8_t> m_image;
};

// --all, --station, --list and --location: several simulated dongles, the same in every
// process, each one's flash in a file of its own.
class CliFleetTest : public CliSimTest {
  protected:
    void SetUp() override {
        CliSimTest::SetUp();
        env["KXSIM_DUMP_FLASH"] = m_folder + "/flash-%s.bin";
    }

    std::vector<std::uint8_t> FlashOf(const std::string& serial) const {
        const std::string bytes = ReadFile(m_folder + "/flash-" + serial + ".bin");
        return {bytes.begin(), bytes.end()};
    }
    bool Holds(const std::vector<std::uint8_t>& flash) const {
        return flash.size() >= m_image.size() &&
               std::equal(m_image.begin(), m_image.end(), flash.begin());
    }
    std::vector<std::string> Lines(const std::string& text) const {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::vector<cli::JsonObject> Events(const std::string& out) const {
        std::vector<cli::JsonObject> events;
        for (const std::string& line : Lines(out)) {
            std::optional<cli::JsonObject> event = cli::ParseJsonObject(line);
            EXPECT_TRUE(event) << "not a JSON object: " << line;
            if (event) {
                events.push_back(*event);
            }
        }
        return events;
    }
    // Waits until the flasher of each of `serials` has reported progress: each has opened
    // its dongle and is sending. Children start one after another, and on a loaded machine
    // the first may be sending before the last has started.
    bool WaitForProgressOfEach(const ChildProcess& cli, std::vector<std::string> serials) const {
        const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string out = cli.Out();
            std::istringstream whole(out.substr(0, out.rfind('\n') + 1));  // whole lines only
            for (std::string line; std::getline(whole, line);) {
                std::optional<cli::JsonObject> event = cli::ParseJsonObject(line);
                if (event && event->Text("event") == "progress") {
                    std::erase(serials, event->Text("serial").value_or(""));
                }
            }
            if (serials.empty()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::vector<std::string> Record() const { return Lines(ReadFile(m_folder + "/record.csv")); }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

}  // namespace kx::test
