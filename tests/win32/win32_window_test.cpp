// KXUpgradeDongle.exe driven through its controls, as its own process beside the simulated
// dongle's Ftd2xx.dll: whole upgrades checked against the dongle's flash, the refusal of a
// bad file, the quit question, a restart after a drop-out, the stored folder, the about box.
#include <gtest/gtest.h>

#include <algorithm>

#include "resource_ids.h"
#include "test_platform.h"
#include "window_messages.h"
#include "window_process.h"

namespace kx::test {
namespace {

constexpr wchar_t kProfileKey[] = L"Software\\Tessaro\\KXUpgradeDongle\\Settings";

// A path of the build as Windows sees it: under Wine a Unix path is on drive Z:.
std::wstring Native(std::string path) {
    if (!path.empty() && path.front() == '/') {
        path = "Z:" + path;
    }
    std::replace(path.begin(), path.end(), '/', '\\');
    return std::wstring(path.begin(), path.end());
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
}

std::wstring ProfilePath() {
    wchar_t value[512] = {};
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, kProfileKey, L"Path", RRF_RT_REG_SZ, nullptr, value,
                     &bytes) != ERROR_SUCCESS) {
        return L"(none)";
    }
    return value;
}

void SetProfilePath(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kProfileKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

bool Contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// Hands `window` a firmware file for the next announcement, as a drop on it does. (A drop
// itself cannot cross processes under Wine, which does not carry the DROPFILES block.)
bool HandNextFile(HWND window, const std::wstring& path) {
    COPYDATASTRUCT data{};
    data.dwData = win32::kNextFileCopyData;
    data.cbData = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(path.data());
    DWORD_PTR taken = 0;
    return SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                               SMTO_ABORTIFHUNG, 10000, &taken) != 0 &&
           taken == TRUE;
}

class Win32WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_folder = Native(MakeTempFolder("kxwin32"));
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tessaro\\KXUpgradeDongle");
    }

    // The simulated dongle announces itself once, soon after the window opens it, so that
    // no second chooser comes unasked; its flash is written out when the window closes it.
    Environment Sim(Environment extra = {}) const {
        Environment env{{L"KXSIM_ANNOUNCE_FROM_OPEN", L"1"},
                        {L"KXSIM_ANNOUNCE_DELAY_MS", L"100"},
                        {L"KXSIM_ANNOUNCE_REPEAT_MS", L"0"},
                        {L"KXSIM_DUMP_FLASH", m_folder + L"\\flash.bin"},
                        {L"LOCALAPPDATA", m_folder}};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    static std::wstring Exe() { return Native(KX_WINDOW_PATH); }
    static std::wstring Example(const char* name) {
        return Native(std::string(KX_SOURCE_DIR) + "/examples/" + name);
    }

    // The dongle's flash holds `image` from its start and is erased behind it.
    void ExpectFlashHolds(const char* image) const {
        const std::string flash = ReadBytes(m_folder + L"\\flash.bin");
        const std::string expected = ReadBytes(Example(image));
        ASSERT_FALSE(expected.empty());
        ASSERT_GE(flash.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                flash.end(), [](char c) { return c == '\xFF'; }));
    }

    // A transfer's last line shows before its end enables EXIT (the link is drained and
    // set back first): a click on the disabled button would be lost, as a user's would.
    static void ExitByExit(WindowProcess& window) {
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(window.Main(), IDOK)); }));
        WindowProcess::Click(window.Main(), IDOK);
        EXPECT_EQ(window.WaitExit(), 0);
    }

    std::wstring m_folder;
};

TEST_F(Win32WindowTest, WholeUpgradeThroughTheChooserThenExit) {
    WindowProcess window(Exe(), Sim());
    ASSERT_TRUE(window.Started());
    ASSERT_NE(window.Main(), nullptr);
    EXPECT_EQ(window.Text(IDOK), L"EXIT");
    // The dialog has neither a minimize nor a maximize box.
    EXPECT_EQ(GetWindowLongW(window.Main(), GWL_STYLE) & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    ASSERT_TRUE(window.ChooseInChooser(Example("firmware-2.0.dat")));
    ASSERT_TRUE(WaitUntil([&] { return window.Text(IDC_TRANSFER_TEXT) == L"Transfer completed"; }))
        << "transfer line: " << testing::PrintToString(window.Text(IDC_TRANSFER_TEXT));
    EXPECT_EQ(window.Text(IDC_CONNECTION_TEXT), L"KX Upgrade - Dongle connected");
    EXPECT_TRUE(Contains(window.Text(IDC_LOG), L"DONGLE BOOT 1.3"));
    const auto [position, maximum] = window.Progress();
    EXPECT_EQ(maximum, ReadBytes(Example("firmware-2.0.dat")).size());
    EXPECT_EQ(position, maximum);
    EXPECT_TRUE(window.Enabled(IDOK));
    // The first run stores the folder the chooser opened in: the default.
    EXPECT_EQ(ProfilePath(), L"C:\\Tessaro\\");
    ExitByExit(window);
    ExpectFlashHolds("firmware-2.0.bin");
}

TEST_F(Win32WindowTest, WithoutTheDriverOneMessageBoxAndNoWindow) {
    WindowProcess window(Exe(), Sim({{L"KX_DRIVER", m_folder + L"\\missing\\Ftd2xx.dll"}}));
    ASSERT_TRUE(window.Started());
    const HWND box = window.WaitForDialog(L"KXUpgradeDongle");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(Contains(ChildTexts(box), L"Error: Can't Load ft8u245.dll"));
    // The only window the program shows: the main window never did.
    EXPECT_EQ(window.Dialogs().size(), 1u);
    WindowProcess::Click(box, IDOK);
    EXPECT_EQ(window.WaitExit(), 0);
}

TEST_F(Win32WindowTest, RefusedFileSendsNothingAndTheAboutBoxOpensFromTheSystemMenu) {
    WindowProcess window(Exe(), Sim());
    ASSERT_NE(window.Main(), nullptr);
    ASSERT_TRUE(window.ChooseInChooser(Example("bad-checksum.dat")));
    const HWND box = window.WaitForDialog(L"KXUpgradeDongle");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(Contains(ChildTexts(box), L"FILE REFUSED: ")) << ChildTexts(box).size();
    WindowProcess::Click(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    EXPECT_TRUE(Contains(window.Text(IDC_LOG), L"FILE REFUSED: "));
    // The transfer line names the refused file, not what an earlier transfer did.
    EXPECT_TRUE(Contains(window.Text(IDC_TRANSFER_TEXT), L"FILE REFUSED: bad-checksum.dat:22: "));
    EXPECT_TRUE(window.Enabled(IDOK));
    EXPECT_EQ(ProfilePath(), L"(none)");  // a refused file stores nothing

    // The about entry, as the system menu sends it.
    HMODULE exe = LoadLibraryExW(Exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    wchar_t entry[64] = {};
    LoadStringW(exe, IDS_ABOUTBOX, entry, 64);
    FreeLibrary(exe);
    EXPECT_EQ(std::wstring(entry), L"Inf&o \u00fcber KXUpgradeDongle...");
    PostMessageW(window.Main(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    const HWND about = window.WaitForDialog(L"Info \u00fcber KXUpgradeDongle");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(Contains(ChildTexts(about), L"KXUpgradeDongle Version 1.0"));
    WindowProcess::Click(about, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));

    ExitByExit(window);
    // Nothing was sent: the dongle never erased (its old contents hold no 0xFF byte).
    const std::string flash = ReadBytes(m_folder + L"\\flash.bin");
    ASSERT_FALSE(flash.empty());
    EXPECT_EQ(std::count(flash.begin(), flash.end(), '\xFF'), 0);
}

TEST_F(Win32WindowTest, AbortShowsItsReasonOnTheTransferLine) {
    // A flash of 4 KiB: the 8 KiB image runs past its end, and the dongle answers ERROR.
    WindowProcess window(Exe(), Sim({{L"KXSIM_FLASH_SIZE", L"4096"}}));
    ASSERT_NE(window.Main(), nullptr);
    ASSERT_TRUE(window.ChooseInChooser(Example("firmware-2.0.dat")));
    ASSERT_TRUE(WaitUntil([&] {
        return window.Text(IDC_TRANSFER_TEXT) == L"Transfer aborted: ERROR";
    })) << testing::PrintToString(window.Text(IDC_TRANSFER_TEXT));
    EXPECT_TRUE(window.Enabled(IDOK));
    ExitByExit(window);
}

TEST_F(Win32WindowTest, WrongIdFileEndsWithTheDevicesReason) {
    // The dongle refuses the file's header record; it says so again after the switch record.
    WindowProcess window(Exe(), Sim({{L"KXSIM_DUMP_PACKETS", m_folder + L"\\packets.txt"}}));
    ASSERT_NE(window.Main(), nullptr);
    ASSERT_TRUE(window.ChooseInChooser(Example("wrong-id.dat")));
    ASSERT_TRUE(WaitUntil([&] {
        return window.Text(IDC_TRANSFER_TEXT).starts_with(L"Transfer aborted");
    })) << testing::PrintToString(window.Text(IDC_TRANSFER_TEXT));
    EXPECT_EQ(window.Text(IDC_TRANSFER_TEXT),
              L"Transfer aborted: UPDATE FILE ID DOESNT MATCH DEVICE ID");
    ExitByExit(window);
}

TEST_F(Win32WindowTest, ASecondWindowOpensBesideTheFirst) {
    WindowProcess first(Exe(), Sim());
    ASSERT_NE(first.Main(), nullptr);
    WindowProcess second(Exe(), Sim());
    ASSERT_NE(second.Main(), nullptr);
    RECT one{};
    RECT two{};
    GetWindowRect(first.Main(), &one);
    GetWindowRect(second.Main(), &two);
    EXPECT_TRUE(one.left != two.left || one.top != two.top)
        << "both at " << one.left << ", " << one.top;
    // Both end with the test (terminated): only where they opened is looked at here.
}

TEST_F(Win32WindowTest, QuitQuestionDuringAHeldTransferAnsweredBothWays) {
    // The dongle goes after the first 3000 bytes and stays away: the transfer waits for it.
    WindowProcess window(Exe(), Sim({{L"KXSIM_UNPLUG_AFTER_BYTES", L"3000"}}));
    const HWND main = window.Main();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(window.ChooseInChooser(Example("firmware-2.0.dat")));
    ASSERT_TRUE(WaitUntil(
        [&] { return window.Text(IDC_CONNECTION_TEXT) == L"KX Upgrade - Dongle not responding"; }));
    EXPECT_TRUE(window.Text(IDC_TRANSFER_TEXT).starts_with(L"Transfer in Progress..."));
    EXPECT_TRUE(window.Enabled(IDOK));

    PostMessageW(main, WM_CLOSE, 0, 0);
    const HWND keep = window.WaitForDialog(L"KXUpgradeDongle");
    ASSERT_NE(keep, nullptr);
    EXPECT_TRUE(Contains(ChildTexts(keep), L"A transfer is running."));
    ASSERT_NE(GetDlgItem(keep, IDC_KEEP_TRANSFERRING), nullptr);
    WindowProcess::Click(keep, IDC_KEEP_TRANSFERRING);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(keep); }));
    // Answered once the window takes messages again: it is still there, still waiting.
    EXPECT_EQ(WindowText(main), L"KX Upgrade - Dongle 1.1");
    EXPECT_TRUE(window.Running());
    EXPECT_TRUE(window.Text(IDC_TRANSFER_TEXT).starts_with(L"Transfer in Progress..."));

    PostMessageW(main, WM_CLOSE, 0, 0);
    const HWND quit = window.WaitForDialog(L"KXUpgradeDongle");
    ASSERT_NE(quit, nullptr);
    WindowProcess::Click(quit, IDC_QUIT_ANYWAY);
    EXPECT_EQ(window.WaitExit(), 0);
}

TEST_F(Win32WindowTest, RestartAfterADropOutKeepsTheStoredFolder) {
    const std::wstring stored = m_folder + L"\\";
    SetProfilePath(stored);
    // Pulled out after 6000 bytes and back 300 ms later: the dongle restarts and announces.
    WindowProcess window(
        Exe(), Sim({{L"KXSIM_UNPLUG_AFTER_BYTES", L"6000"}, {L"KXSIM_REPLUG_AFTER_MS", L"300"}}));
    ASSERT_NE(window.Main(), nullptr);
    ASSERT_TRUE(window.ChooseInChooser(Example("firmware-2.0.dat")));
    ASSERT_TRUE(WaitUntil([&] { return window.Text(IDC_TRANSFER_TEXT) == L"Transfer completed"; },
                          std::chrono::seconds(90)))
        << testing::PrintToString(window.Text(IDC_TRANSFER_TEXT));
    EXPECT_TRUE(Contains(window.Text(IDC_LOG), L"RESTART 1 OF 3"));
    // A file from another folder leaves the stored folder as it was.
    EXPECT_EQ(ProfilePath(), stored);
    ExitByExit(window);
    ExpectFlashHolds("firmware-2.0.bin");
}

TEST_F(Win32WindowTest, FileHandedOverGoesOutAtTheNextAnnouncement) {
    // The dongle announces itself every second while idle: a chooser that opens before the
    // file has arrived is cancelled, and the next announcement takes the file.
    WindowProcess window(Exe(), Sim({{L"KXSIM_ANNOUNCE_REPEAT_MS", L"1000"}}));
    const HWND main = window.Main();
    ASSERT_NE(main, nullptr);
    // Not a firmware file: refused. Then the firmware file.
    EXPECT_FALSE(HandNextFile(main, Example("firmware-mini.bin")));
    ASSERT_TRUE(HandNextFile(main, Example("firmware-mini.dat")));
    ASSERT_TRUE(WaitUntil([&] {
        for (HWND chooser : window.Dialogs()) {
            WindowProcess::Click(chooser, IDCANCEL);
        }
        return window.Text(IDC_TRANSFER_TEXT) == L"Transfer completed";
    })) << testing::PrintToString(window.Text(IDC_TRANSFER_TEXT));
    ExitByExit(window);
    ExpectFlashHolds("firmware-mini.bin");
}

}  // namespace
}  // namespace kx::test
