// The launcher's fixed names and values. Nothing here is configurable at run time.
#pragma once

namespace ot {

constexpr wchar_t kProductName[] = L"Orvane Tessaly";
constexpr wchar_t kApplicationTitle[] = L"Orvane Tessaly Setup";
constexpr wchar_t kLauncherMutexName[] = L"Orvane Tessaly Setup Launcher 32";

// The password the distribution archive is encrypted with (8-bit text, used as given).
constexpr char kArchivePassword[] = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}";

constexpr wchar_t kSetupProgramName[] = L"Orvane.Tessaly.Setup.exe";
constexpr wchar_t kStarterProgramName[] = L"Orvane.Tessaly.Starter.exe";
constexpr wchar_t kStarterSwitch[] = L"-DelphiC#";

}  // namespace ot
