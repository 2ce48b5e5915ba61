// The program's user-visible texts, kept in one place. The English texts are the
// program's own; the about box and its menu entry are German.
#pragma once

namespace kx::text {

// Main window
inline constexpr char kMainCaption[] = "KX Upgrade - Dongle 1.1";
inline constexpr char kExitButton[] = "EXIT";

// Link line
inline constexpr char kDeviceDescription[] = "KX Upgrade - Dongle";
inline constexpr char kConnected[] = "KX Upgrade - Dongle connected";
inline constexpr char kNotResponding[] = "KX Upgrade - Dongle not responding";
inline constexpr char kInUse[] = "KX Upgrade - Dongle in use by another program";

// Transfer line
inline constexpr char kInProgress[] = "Transfer in Progress...";
inline constexpr char kCompleted[] = "Transfer completed";
inline constexpr char kAborted[] = "Transfer aborted";

// Log lines written on device replies
inline constexpr char kRepeat[] = "REPEAT";
inline constexpr char kDeviceError[] = "ERROR";
inline constexpr char kIdMismatch[] = "UPDATE FILE ID DOESNT MATCH DEVICE ID";

// Log lines written when the device comes back during a transfer
inline constexpr char kRestartFormat[] = "RESTART %u OF %u";
inline constexpr char kRestartLimitFormat[] =
    "DONGLE RESTARTED AGAIN AFTER %u RESTARTS: TRANSFER GIVEN UP";
inline constexpr char kResume[] = "RESUME";
inline constexpr char kResumeRefused[] = "RESUME REFUSED: WAITING FOR THE DONGLE TO START OVER";
inline constexpr char kNoReplyToLastPacket[] =
    "THE DONGLE WENT AT THE LAST PACKET AND DOES NOT ANSWER: IT MAY HOLD THE WHOLE FILE OR "
    "NOT. UNPLUG IT AND PLUG IT IN AGAIN; WHEN IT ANNOUNCES ITSELF, SEND THE FILE AGAIN";
inline constexpr char kNoAnswerAfterReturn[] =
    "THE DONGLE CAME BACK BUT DOES NOT ANSWER: UNPLUG IT AND PLUG IT IN AGAIN; WHEN IT "
    "ANNOUNCES ITSELF, SEND THE FILE AGAIN";

// Driver binding
inline constexpr char kCantLoadDriver[] = "Error: Can't Load ft8u245.dll";

// File chooser and profile store
inline constexpr char kOrganisation[] = "Tessaro";
inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kPathEntry[] = "Path";
inline constexpr char kDefaultPath[] = "C:\\Tessaro\\";
inline constexpr char kDefaultExtension[] = "dat";
inline constexpr char kFileFilter[] = "Data (*.dat)| *.dat|";

// About box (German)
inline constexpr char kAboutMenuEntry[] =
    "Inf&o \xC3\xBC"
    "ber KXUpgradeDongle...";
inline constexpr char kAboutCaption[] =
    "Info \xC3\xBC"
    "ber KXUpgradeDongle";
inline constexpr char kAboutVersion[] = "KXUpgradeDongle Version 1.0";
inline constexpr char kAboutOk[] = "OK";

}  // namespace kx::text

namespace kx::text {

// Log lines written when the firmware file cannot be sent faithfully
inline constexpr char kRecordTooLongFormat[] =
    "PACKET TOO LONG: THE RECORD AT LINE %u DOES NOT FIT IN A PACKET OF %u BYTES";
inline constexpr char kPacketTooLongFormat[] =
    "PACKET TOO LONG: THE PACKET OF %u RECORDS FROM LINE %u TO LINE %u DOES NOT FIT IN %u BYTES";
// Before "PATH:LINE: problem" when the firmware file is refused before anything is sent
inline constexpr char kFileRefused[] = "FILE REFUSED: ";
inline constexpr char kReadErrorFormat[] = "CANNOT READ FIRMWARE FILE AT BYTE %llu";

}  // namespace kx::text

namespace kx::text {

// The window as people use it: the question before a running transfer is abandoned,
// the log folder, the file dropped for the next announcement, the help button.
inline constexpr char kQuitQuestion[] =
    "A transfer is running. Quitting now leaves the dongle without firmware.";
inline constexpr char kQuitAnyway[] = "Quit";
inline constexpr char kKeepTransferring[] = "Continue transfer";
inline constexpr char kOpenLogFolder[] = "Open log folder";
inline constexpr char kAbortReasonSeparator[] = ": ";
inline constexpr char kNextFilePrefix[] = "Next file: ";
inline constexpr char kHelpButton[] = "?";

}  // namespace kx::text
