// Which dongle a transfer writes. A dongle pulled out during a transfer may come back, or
// another may be plugged into its socket (or found by the description) in its place. The
// other one holds nothing of this transfer: it is not a restart of the one that left, so
// it gets the file from its first record with a restart count of its own, and the front
// end hears of the change to record the one that left.
#include "device/dongle_choice.h"
#include "upgrade_dlg.h"

namespace kx {

void CUpgradeDlg::NoteOpenedDongle() {
    std::optional<ListedDongle> opened = OpenedDongle();
    if (!opened) {
        return;  // the list did not show it: nothing to compare
    }
    const bool replaced = m_transferring && m_dongle && !m_dongle->serial.empty() &&
                          !opened->serial.empty() && opened->serial != m_dongle->serial;
    m_dongle = std::move(opened);
    if (!replaced) {
        return;
    }
    m_window.DongleReplaced();
    // As at the start of a transfer; the transfer stays held until the new dongle shows
    // itself, and whether it then announces itself or stays quiet, it is sent the whole
    // file (nothing was sent to it, so its announcement counts as no restart).
    m_restarts = 0;
    m_resumes = 0;
    RewindTransfer();
}

}  // namespace kx
