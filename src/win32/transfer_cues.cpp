#include "transfer_cues.h"

#include "win32_api.h"

namespace kx::win32 {

namespace {

TBPFLAG TaskbarFlag(CueState state) {
    switch (state) {
        case CueState::Normal:
            return TBPF_NORMAL;
        case CueState::Paused:
            return TBPF_PAUSED;
        case CueState::Error:
            return TBPF_ERROR;
        case CueState::None:
            break;
    }
    return TBPF_NOPROGRESS;
}

}  // namespace

TaskbarProgress::~TaskbarProgress() {
    if (m_list != nullptr) {
        m_list->Release();
    }
}

unsigned TaskbarProgress::ButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void TaskbarProgress::Attach(HWND__* window) {
    m_window = window;
    if (m_list != nullptr) {
        m_list->Release();
        m_list = nullptr;
    }
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list)))) {
        return;  // no shell taskbar: the window alone shows the progress
    }
    if (FAILED(list->HrInit())) {
        list->Release();
        return;
    }
    m_list = list;
    m_shown = CueState::None;
}

void TaskbarProgress::Show(CueState state, std::uint64_t done, std::uint64_t total) {
    if (m_list == nullptr) {
        return;
    }
    if (state != m_shown) {
        m_list->SetProgressState(m_window, TaskbarFlag(state));
        m_shown = state;
    }
    if (state != CueState::None && total > 0) {
        m_list->SetProgressValue(m_window, done, total);
    }
}

void ShowBarState(HWND__* bar, CueState state) {
    WPARAM barState = PBST_NORMAL;
    if (state == CueState::Paused) {
        barState = PBST_PAUSED;
    } else if (state == CueState::Error) {
        barState = PBST_ERROR;
    }
    SendMessageW(bar, PBM_SETSTATE, barState, 0);
}

void CueTransferEnd(HWND__* window, bool completed) {
    if (GetForegroundWindow() == window) {
        return;
    }
    FLASHWINFO flash{};
    flash.cbSize = sizeof(flash);
    flash.hwnd = window;
    flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
    MessageBeep(completed ? MB_OK : MB_ICONHAND);
}

}  // namespace kx::win32
