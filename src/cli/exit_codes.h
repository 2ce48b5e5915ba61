// What kxupgrade's exit status tells a script.
#pragma once

namespace kx::cli {

enum ExitCode : int {
    kExitCompleted = 0,       // "Transfer completed"
    kExitAborted = 1,         // "Transfer aborted", the reason printed
    kExitUsage = 2,           // bad usage, or a firmware file that cannot be read
    kExitNoAnnouncement = 3,  // no announcement within --wait
    kExitNoDriver = 4,        // the driver library cannot be loaded or lacks an entry point
    kExitRefused = 5,         // the firmware file fails its check: nothing was sent
    kExitInterrupted = 130,   // stopped by SIGINT or SIGTERM
};

}  // namespace kx::cli
