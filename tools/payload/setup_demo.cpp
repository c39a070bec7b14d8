// Orvane.Tessaly.Setup.exe, demo edition: stands in for the product's main setup program. It
// holds the global mutex "Global\Orvane Tessaly Setup Mutex" while its small window is open,
// shows the arguments it received, and releases the mutex when the window is closed.
//
// Test controls, read from the environment:
//   OT_DEMO_ARGS_FILE=path   record the command line there (after the mutex is taken)
//   OT_DEMO_HOLD_SECONDS=N   close by itself after N seconds
//   OT_DEMO_NO_MUTEX=1       never create the mutex
//   OT_DEMO_EXIT_HOLDING=1   at the end, exit while still owning the mutex (it is abandoned)
//   OT_DEMO_EXIT_CODE=N      end with exit code N (decimal), e.g. 3010: installed, restart needed
#include <windows.h>

#include <cwchar>
#include <string>

#include "demo_common.h"

namespace {

constexpr wchar_t kMutexName[] = L"Global\\Orvane Tessaly Setup Mutex";
constexpr wchar_t kTitle[] = L"Orvane Tessaly Setup (demo)";

std::wstring Describe(const std::vector<std::wstring>& args, const wchar_t* mutexState) {
  std::wstring text = L"Arguments received: " + std::to_wstring(args.empty() ? 0 : args.size() - 1) + L"\r\n";
  for (std::size_t i = 1; i < args.size(); ++i) text += std::to_wstring(i) + L": " + args[i] + L"\r\n";
  return text + L"\r\nSetup mutex: " + mutexState;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  HANDLE mutex = nullptr;
  bool owned = false;
  const wchar_t* mutexState = L"not created (OT_DEMO_NO_MUTEX)";
  if (!ot::demo::EnvironmentFlag(L"OT_DEMO_NO_MUTEX")) {
    mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    // An existing mutex is opened, not owned: another program holds it.
    owned = mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    mutexState = owned ? L"held" : (mutex ? L"already held by another program" : L"could not be created");
  }
  const std::wstring record = ot::demo::EnvironmentText(L"OT_DEMO_ARGS_FILE");
  if (!record.empty()) ot::demo::WriteRecord(record);
  const bool exitHolding = ot::demo::EnvironmentFlag(L"OT_DEMO_EXIT_HOLDING");
  const DWORD holdSeconds = ot::demo::EnvironmentSeconds(L"OT_DEMO_HOLD_SECONDS", 0);
  const DWORD exitCode = static_cast<DWORD>(
      std::wcstoul(ot::demo::EnvironmentText(L"OT_DEMO_EXIT_CODE").c_str(), nullptr, 10));

  HWND window = ot::demo::CreateDemoWindow(instance, L"OrvaneTessalyDemoSetup", kTitle,
                                           Describe(ot::demo::ParsedArguments(), mutexState));
  if (window) {
    if (holdSeconds > 0) ot::demo::CloseAfter(window, holdSeconds);
    ot::demo::ShowUntilClosed(window, show);
  }
  if (owned && exitHolding) ExitProcess(exitCode);
  if (owned) ReleaseMutex(mutex);
  if (mutex) CloseHandle(mutex);
  return static_cast<int>(exitCode);
}
