// The launcher's exit codes. Deployment and device-management tools start installers where no
// one watches and judge each run by its exit code alone; they already read Windows Installer's
// codes: 0 success, 3010 and 1641 success that needs a restart, 1618 "another installation is
// running, try again later", anything else failure. So each way the launcher can fail has a
// code of its own, taken from the system's error codes whose text tells an administrator what
// went wrong. After a hand-off the setup program's own code is passed on instead (see
// TMainForm::CloseSetupProcess).
#pragma once

namespace ot {

constexpr unsigned long kExitHandedOff = 0;
// ERROR_INSTALL_ALREADY_RUNNING: another launcher runs in this log-on session.
constexpr unsigned long kExitAlreadyRunning = 1618;
// ERROR_OLD_WIN_VERSION: the Windows release is not one the product supports.
constexpr unsigned long kExitWindowsRefused = 1150;
// ERROR_INSTALL_PREREQUISITE_FAILED ("A specified install prerequisite couldn't be
// satisfied"): no .NET Framework 4.6 or later. Not a code Windows Installer packages return,
// so a setup program built on one never gives it for reasons of its own.
constexpr unsigned long kExitDotNetMissing = 15613;
// ERROR_INSTALL_TEMP_UNWRITABLE: the payload could not be written out and unpacked in the
// temporary folder. A full or unwritable drive is the usual cause; the page's text names it.
constexpr unsigned long kExitExtractionFailed = 1632;
// ERROR_INSTALL_PACKAGE_OPEN_FAILED: the unpacked setup program could not be started.
constexpr unsigned long kExitSetupNotStarted = 1619;
// ERROR_INSTALL_PACKAGE_INVALID: the launcher's own window layout is missing or damaged.
constexpr unsigned long kExitLauncherDamaged = 1620;

}  // namespace ot
