// The launcher's fixed names and values. Nothing here is configurable at run time.
#pragma once

namespace ot {

constexpr wchar_t kProductName[] = L"Orvane Tessaly";
constexpr wchar_t kApplicationTitle[] = L"Orvane Tessaly Setup";
constexpr wchar_t kLauncherMutexName[] = L"Orvane Tessaly Setup Launcher 32";

constexpr wchar_t kSetupProgramName[] = L"Orvane.Tessaly.Setup.exe";
constexpr wchar_t kStarterProgramName[] = L"Orvane.Tessaly.Starter.exe";
constexpr wchar_t kStarterSwitch[] = L"-DelphiC#";

}  // namespace ot
