// Exit codes of keelvane-cli. Scripts branch on them, so each value is fixed once published
// and every one is listed in --help and in the manual page.
#pragma once

namespace cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitCommandFailed = 1,    // the drive refused or failed a command (report, blank, eject)
    kExitUsage = 2,            // bad command line
    kExitNoWriter = 3,         // no writer, no such drive, or the drive cannot be opened
    kExitImage = 4,            // image missing, unreadable, not whole sectors or too big
    kExitWriteParameters = 5,  // the drive refused the write parameters (mode page 05h)
    kExitWrite = 6,            // a WRITE(10) failed
    kExitClosing = 7,          // SYNCHRONIZE CACHE, CLOSE TRACK or CLOSE SESSION failed
    kExitVerify = 8,           // the disc does not read back equal to the image
    kExitDiscUnusable = 9,     // the disc in the drive cannot take the job (read-only, not blank)
    kExitInUse = 10,           // the drive or the virtual disc is in use by another program
    kExitInterrupted = 130,    // stopped by SIGINT (128 + SIGINT, as shells report it)
    kExitTerminated = 143,     // stopped by SIGTERM (128 + SIGTERM)
};

}  // namespace cli
