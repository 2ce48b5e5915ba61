// A window surface written the way a native Windows window writes it: <windows.h> and the
// common dialogs come first, with UNICODE on, and the surface and the dialog after them.
// Its posted messages go through a real Win32 message queue.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
// clang-format off
#include <commdlg.h>
// clang-format on

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dialog/window_surface.h"
#include "upgrade_dlg.h"

namespace kx {
namespace {

// The surface's values are the ones Windows gives the same things.
static_assert(static_cast<UINT>(WindowMessage::Close) == WM_CLOSE);
static_assert(static_cast<UINT>(WindowMessage::Timer) == WM_TIMER);
static_assert(static_cast<UINT>(WindowMessage::PollDevice) == WM_USER + 1);
static_assert(static_cast<UINT>(WindowMessage::StartTransfer) == WM_USER + 2);
static_assert(static_cast<int>(DialogResult::Ok) == IDOK);
static_assert(static_cast<int>(DialogResult::Cancel) == IDCANCEL);
static_assert(static_cast<unsigned>(ChooserFlags::HideReadOnly) == OFN_HIDEREADONLY);
static_assert(static_cast<unsigned>(ChooserFlags::FileMustExist) == OFN_FILEMUSTEXIST);

// Messages go to the queue of the thread that made the surface, as PostMessage to a
// window of that thread would put them; the rest is kept in memory.
class Win32Surface final : public WindowSurface {
  public:
    Win32Surface() : m_thread(GetCurrentThreadId()) {
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    }

    void PullTexts(std::string& connection, std::string& log, std::string& transfer) override {
        connection = m_connection;
        log = m_log;
        transfer = m_transfer;
    }
    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override {
        m_connection = connection;
        m_transfer = transfer;
        m_log = log.replace ? std::string(log.text) : m_log + std::string(log.text);
    }
    void ScrollLogToEnd() override {}
    void InvalidateLog() override {}
    void RepaintNow() override {}
    void EnableExit(bool enable) override { m_exitEnabled = enable; }
    void SetProgressRange(std::uint32_t) override {}
    void SetProgressPos(std::uint32_t) override {}
    void ShowMessageBox(const std::string& text) override { boxes.push_back(text); }
    void PostToWindow(WindowMessage message) override {
        PostThreadMessageW(m_thread, static_cast<UINT>(message), 0, 0);
    }
    void StartTimer(TimerId id, UINT periodMs) override { timers[id] = periodMs; }
    void EndModal(DialogResult result) override { ended = result; }
    std::optional<std::string> ChooseFile(const FileChooserRequest&) override {
        return std::nullopt;
    }
    std::string ReadProfileText(const std::string& section, const std::string& entry,
                                const std::string& defaultValue) override {
        const auto it = m_profile.find(section + "/" + entry);
        return it == m_profile.end() ? defaultValue : it->second;
    }
    bool WriteProfileText(const std::string& section, const std::string& entry,
                          const std::string& value) override {
        m_profile[section + "/" + entry] = value;
        return true;
    }

    // Takes the next message of the queue, waiting for it.
    WindowMessage Next() {
        MSG msg;
        GetMessageW(&msg, nullptr, 0, 0);
        return static_cast<WindowMessage>(msg.message);
    }

    std::vector<std::string> boxes;
    std::map<TimerId, UINT> timers;
    std::optional<DialogResult> ended;

  private:
    DWORD m_thread;
    std::string m_connection;
    std::string m_log;
    std::string m_transfer;
    bool m_exitEnabled = true;
    std::map<std::string, std::string> m_profile;
};

TEST(Win32Surface, AMissingDriverEndsTheDialogWithItsBox) {
    Win32Surface window;
    CUpgradeDlg dlg(window, "kx-no-such-driver.dll");
    dlg.OnInitDialog();

    EXPECT_EQ(window.boxes, std::vector<std::string>{"Error: Can't Load ft8u245.dll"});
    ASSERT_TRUE(window.ended.has_value());
    EXPECT_EQ(*window.ended, DialogResult::Cancel);
    EXPECT_TRUE(window.timers.empty());
}

TEST(Win32Surface, MessagesPostedFromAnotherThreadArriveAsTheyWereSent) {
    Win32Surface window;
    std::thread poster([&window] {
        window.PostToWindow(WindowMessage::PollDevice);
        window.PostToWindow(WindowMessage::StartTransfer);
        window.PostToWindow(WindowMessage::Close);
    });
    poster.join();
    EXPECT_EQ(window.Next(), WindowMessage::PollDevice);
    EXPECT_EQ(window.Next(), WindowMessage::StartTransfer);
    EXPECT_EQ(window.Next(), WindowMessage::Close);
}

TEST(Win32Surface, TheProfileKeepsWhatTheChooserWrote) {
    Win32Surface window;
    WindowSurface& surface = window;
    EXPECT_EQ(surface.ReadProfileText("Settings", "Path", "C:\\"), "C:\\");
    EXPECT_TRUE(surface.WriteProfileText("Settings", "Path", "D:\\Firmware\\"));
    EXPECT_EQ(surface.ReadProfileText("Settings", "Path", "C:\\"), "D:\\Firmware\\");
}

}  // namespace
}  // namespace kx
