// Starting a transfer once the device has announced itself: the user picks the file.
#include <limits>

#include "app/upgrade_dlg.h"
#include "device/driver_binding.h"
#include "string_table.h"

namespace kx {

long CUpgradeDlg::OnStartTransfer(UINT /*wParam*/, long /*lParam*/) {
    // One file at a time: a request while the chooser is open or a transfer runs is dropped.
    if (m_choosingFile || m_transferring) {
        return 0;
    }
    const std::string folder =
        m_window.GetProfileString(text::kSettingsSection, text::kPathEntry, text::kDefaultPath);
    FileChooserRequest request;
    request.openMode = true;
    request.defaultExtension = text::kDefaultExtension;
    request.flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST;
    request.filter = text::kFileFilter;
    request.initialFolder = folder;

    m_choosingFile = true;
    const std::optional<std::string> path = m_window.ChooseFile(request);
    m_choosingFile = false;
    if (!path || !m_file.Open(*path)) {
        return 0;
    }
    // The chooser keeps opening where it opened first: the chosen file's folder is not kept.
    m_window.WriteProfileString(text::kSettingsSection, text::kPathEntry, folder);
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
    m_lastWasSwitch = false;
    m_builder.Restart();
    EnableExit(false);
    ShowTransfer(text::kInProgress);
    m_window.RepaintNow();
    ScrollLogToEnd();
    SendNextPacket(false);
    UpdatePacing();
    return 0;
}

}  // namespace kx
