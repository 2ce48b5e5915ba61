// The session log: one file per session, lines with the time they showed, the log's text
// a line at a time and made printable, the newest sessions kept.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/utf8_path.h"
#include "host/front_end_host.h"
#include "host/session_log.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Clock = SessionLog::Clock;

class SessionLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder =
            fs::temp_directory_path() /
            ("kx-session-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    static std::string Read(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::size_t SessionFiles() const { return SessionFiles(m_folder); }
    static std::size_t SessionFiles(const fs::path& folder) {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            count += entry.path().extension() == ".log" ? 1 : 0;
        }
        return count;
    }

    fs::path m_folder;
};

TEST_F(SessionLogTest, EveryTextWithItsTimeAndTheLogALineAtATime) {
    SessionLog log;
    ASSERT_TRUE(log.Open((m_folder / "made").string()));
    EXPECT_EQ(fs::path(log.Path()).parent_path(), m_folder / "made");
    log.Connection("KX Upgrade - Dongle connected");
    log.LogReplaced("");
    for (const char c : std::string("DONGLE BOOT 1.3\r\nPACK")) {
        log.LogAppended(std::string_view(&c, 1));
    }
    // A status line writes the log's open line as far as it goes, and the log goes on.
    log.Transfer("Transfer aborted");
    log.LogAppended(std::string("ET\x01\\\r\n", 6));
    log.Close();

    const std::string text = Read(log.Path());
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> bodies;
    while (std::getline(lines, line)) {
        // "2026-12-08 06:01:02.123 " before each line.
        ASSERT_GE(line.size(), 24u) << line;
        EXPECT_EQ(line[4], '-');
        EXPECT_EQ(line[10], ' ');
        EXPECT_EQ(line[19], '.');
        bodies.push_back(line.substr(24));
    }
    EXPECT_EQ(bodies,
              (std::vector<std::string>{"session: started", "link: KX Upgrade - Dongle connected",
                                        "log: (cleared)", "log: DONGLE BOOT 1.3", "log: PACK",
                                        "transfer: Transfer aborted", "log: ET\\x01\\\\"}));
}

TEST_F(SessionLogTest, TheFileSentIsNamedWithItsSizeAndDigestAndAUtf8PathStaysReadable) {
    FrontEndHost host;
    ASSERT_TRUE(host.Session().Open(m_folder.string()));
    const std::vector<std::uint8_t> image{'a', 'b', 'c'};
    host.FileChosen(
        "/home/pr\xC3\xBC"
        "f/Pr\xC3\xBC"
        "f Ordner/fw.dat",
        image);
    // Bytes that are no UTF-8 in a note are still escaped; a Windows path's backslashes
    // are not doubled.
    host.Session().Note(std::string("bad \xC3(\x1B", 7));
    host.Session().Note("C:\\Tessaro\\fw.dat");
    const std::string path = host.Session().Path();
    host.End(true);

    const std::string text = Read(path);
    EXPECT_NE(
        text.find("note: file: /home/pr\xC3\xBC"
                  "f/Pr\xC3\xBC"
                  "f Ordner/fw.dat (3 bytes, "
                  "SHA-256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad)\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("note: bad \\xC3(\\x1B\n"), std::string::npos) << text;
    EXPECT_NE(text.find("note: C:\\Tessaro\\fw.dat\n"), std::string::npos) << text;
    EXPECT_NE(text.find("note: window closed by EXIT\n"), std::string::npos) << text;
}

TEST_F(SessionLogTest, OnlyTheNewestSessionsAreKept) {
    fs::create_directories(m_folder);
    std::ofstream(m_folder / "notes.txt") << "not a session";
    const Clock::time_point start = Clock::now();
    std::string newest;
    for (int i = 0; i < 25; ++i) {
        SessionLog log;
        ASSERT_TRUE(log.Open(m_folder.string(), start + std::chrono::seconds(i)));
        newest = log.Path();
    }
    EXPECT_EQ(SessionFiles(), kSessionsKept);
    EXPECT_TRUE(fs::exists(newest));
    EXPECT_TRUE(fs::exists(m_folder / "notes.txt"));
    // The oldest went first.
    SessionLog again;
    ASSERT_TRUE(again.Open(m_folder.string(), start + std::chrono::seconds(30), 3));
    EXPECT_EQ(SessionFiles(), 3u);
    EXPECT_TRUE(fs::exists(newest));
}

TEST_F(SessionLogTest, TwoSessionsInTheSameMillisecondGetAFileEach) {
    const Clock::time_point now = Clock::now();
    SessionLog first, second;
    ASSERT_TRUE(first.Open(m_folder.string(), now));
    ASSERT_TRUE(second.Open(m_folder.string(), now));
    EXPECT_NE(first.Path(), second.Path());
    EXPECT_EQ(SessionFiles(), 2u);
}

TEST_F(SessionLogTest, NoFolderMeansNoRecordAndNoHarm) {
    std::ofstream(m_folder.string()) << "a file where the folder should be";
    SessionLog log;
    EXPECT_FALSE(log.Open((m_folder / "sub").string()));
    EXPECT_FALSE(log.Open(""));
    log.Connection("nothing happens");
    EXPECT_FALSE(log.IsOpen());
    fs::remove(m_folder);
}

TEST_F(SessionLogTest, AFolderWhoseNameIsNotAsciiTakesTheSession) {
    // A user name outside the ANSI code page, as in C:\Users\Jörg-Ω\AppData\Local.
    const std::string folder = Utf8FromPath(m_folder) + "/J\xC3\xB6rg-\xCE\xA9";
    SessionLog log;
    ASSERT_TRUE(log.Open(folder));
    log.Note("here");
    log.Close();
    EXPECT_EQ(log.Path().rfind(folder, 0), 0u) << log.Path();
    EXPECT_EQ(SessionFiles(PathFromUtf8(folder)), 1u);
    std::ifstream file(PathFromUtf8(log.Path()));
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find(" note: here\n"), std::string::npos) << text.str();
}

TEST(SessionLogFolder, FollowsTheStateFolder) {
#ifndef _WIN32
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string keep = saved != nullptr ? saved : "";
    setenv("XDG_STATE_HOME", "/tmp/state-here", 1);
    EXPECT_EQ(SessionLogFolder(), "/tmp/state-here/kxupgrade");
    unsetenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        EXPECT_EQ(SessionLogFolder(), std::string(home) + "/.local/state/kxupgrade");
    }
    if (saved != nullptr) {
        setenv("XDG_STATE_HOME", keep.c_str(), 1);
    }
#else
    const wchar_t* saved = _wgetenv(L"LOCALAPPDATA");
    const std::wstring keep = saved != nullptr ? saved : L"";
    _wputenv_s(L"LOCALAPPDATA", L"C:\\Users\\J\u00F6rg-\u03A9\\AppData\\Local");
    EXPECT_EQ(SessionLogFolder(), "C:\\Users\\J\xC3\xB6rg-\xCE\xA9\\AppData\\Local\\kxupgrade");
    _wputenv_s(L"LOCALAPPDATA", keep.c_str());
#endif
}

}  // namespace
}  // namespace kx
