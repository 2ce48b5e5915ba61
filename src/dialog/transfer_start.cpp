// Starting a transfer once the device has announced itself: the user picks the file.
#include <limits>

#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "string_table.h"

namespace kx {

namespace {

// The file's name without its folder: the line is too short for a whole path.
std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// The dongle erases its flash when it takes the switch record: a file that cannot be read
// or checked whole is refused before anything of it is written, with its first problem.
// The file is closed again and the window stays as it was, EXIT enabled.
bool CUpgradeDlg::AcceptFile(const std::string& path) {
    if (m_heldImage != nullptr && path == m_heldPath) {
        const bool opened = m_file.OpenImage(m_heldImage->Bytes());
        return !RefuseFile(path, opened ? &m_heldImage->Check() : nullptr);
    }
    if (!m_file.Open(path)) {
        return !RefuseFile(path, nullptr);
    }
    const ImageCheck check = CheckImage(m_file.Image());
    return !RefuseFile(path, &check);
}

// `check` is null when the file could not be opened, and the file's problem says why: a
// failed open is refused even while the file object still holds another image.
bool CUpgradeDlg::RefuseFile(const std::string& path, const ImageCheck* check) {
    std::string refusal;
    m_fileRefusal.clear();
    if (check == nullptr) {
        refusal = path + ": " + m_file.Problem();
    } else {
        if (check->Sendable()) {
            return false;
        }
        const CheckFinding& first = check->findings.front();
        refusal = path + (first.line > 0 ? ":" + std::to_string(first.line) : std::string()) +
                  ": " + first.problem;
        m_file.Close();
        m_fileRefusal = refusal;
    }
    const std::string shown = text::kFileRefused + refusal;
    m_strLog.Append(shown + "\r\n");
    // The transfer line describes the file chosen last, not the transfer before it.
    m_outcome = TransferOutcome{TransferState::Refused, AbortCause::None, refusal};
    m_strTransfer = text::kFileRefused + FileNameOf(path) + refusal.substr(path.size());
    RefreshLog();
    // Until the box is answered no chooser opens over it, and the dongle's announcements
    // are not taken (the log keeps the refusal); the first whole one after the answer is.
    m_answeringBox = true;
    m_window.ShowMessageBox(shown);
    m_answeringBox = false;
    m_matchState = 0;
    m_matchIndex = 0;
    return true;
}

long CUpgradeDlg::OnStartTransfer(UINT /*wParam*/, long /*lParam*/) {
    // One file at a time: a request while the chooser or a box is open, or while a transfer
    // runs, is dropped.
    if (m_choosingFile || m_transferring || m_answeringBox) {
        return 0;
    }
    const std::string folder =
        m_window.ReadProfileText(text::kSettingsSection, text::kPathEntry, text::kDefaultPath);
    FileChooserRequest request;
    request.openMode = true;
    request.defaultExtension = text::kDefaultExtension;
    request.flags = ChooserFlags::HideReadOnly | ChooserFlags::FileMustExist;
    request.filter = text::kFileFilter;
    request.initialFolder = folder;

    m_choosingFile = true;
    const std::optional<std::string> path = m_window.ChooseFile(request);
    m_choosingFile = false;
    if (!path) {
        return 0;
    }
    if (!AcceptFile(*path)) {
        return 0;
    }
    m_window.FileAccepted(*path, m_file.Image());
    // The chooser keeps opening where it opened first: the chosen file's folder is not kept.
    m_window.WriteProfileText(text::kSettingsSection, text::kPathEntry, folder);
    UpdateData(false);
    m_editLog.Invalidate();
    DrvPurge(FT_PURGE_RX);
    m_file.SeekToBegin();
    const std::uint64_t length = m_file.Length();
    m_fileLength = length > std::numeric_limits<std::uint32_t>::max()
                       ? std::numeric_limits<std::uint32_t>::max()
                       : static_cast<std::uint32_t>(length);
    m_bytesSent = 0;
    m_progress.SetRange32(m_fileLength);
    m_progress.SetPos(0);
    m_transferring = true;
    m_outcome = TransferOutcome{TransferState::InProgress, AbortCause::None, {}};
    m_lastWasSwitch = false;
    m_switchRecord.clear();
    m_sentPacket.clear();
    m_restarts = 0;
    m_resumes = 0;
    m_resumedCutRecord = false;
    m_refusedResume = false;
    // A device lost since its announcement may be starting afresh: the first packet waits
    // until it has shown whether it did (held, as after a loss during a transfer).
    m_lastProgress = m_clock->Now();
    m_builder.Restart();
    if (m_lostSinceAnnounce) {
        StartRecovery();
    }
    EnableExit(false);
    ShowTransfer(text::kInProgress);
    m_window.RepaintNow();
    ScrollLogToEnd();
    SendNextPacket(false);
    UpdatePacing();
    return 0;
}

}  // namespace kx
