// Orvane.Tessaly.Starter.exe, demo edition: stands in for the product's starter tool. It shows
// for a moment what it was started with and ends by itself.
//
// Test controls, read from the environment:
//   OT_DEMO_STARTER_FILE=path    record the command line there
//   OT_DEMO_STARTER_SECONDS=N    how long the window stays (default 2; 0: no window at all)
#include <windows.h>

#include <string>

#include "demo_common.h"

namespace {

constexpr UINT_PTR kEndTimer = 1;

LRESULT CALLBACK StarterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) DestroyWindow(window);
      return 0;
    case WM_TIMER:
      KillTimer(window, kEndTimer);
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  const std::wstring record = ot::demo::EnvironmentText(L"OT_DEMO_STARTER_FILE");
  if (!record.empty()) ot::demo::WriteRecord(record);
  const DWORD seconds = ot::demo::EnvironmentSeconds(L"OT_DEMO_STARTER_SECONDS", 2);
  if (seconds == 0) return 0;

  const std::vector<std::wstring> args = ot::demo::ParsedArguments();
  std::wstring text = L"Started with:";
  for (std::size_t i = 1; i < args.size(); ++i) text += L" " + args[i];
  HWND window = ot::demo::CreateDemoWindow(instance, L"OrvaneTessalyDemoStarter", L"Orvane Tessaly Starter (demo)",
                                           text, StarterWindowProc);
  if (!window) return 0;
  SetTimer(window, kEndTimer, seconds * 1000, nullptr);
  ShowWindow(window, show);  // the first call honours the starter's STARTUPINFO show mode
  UpdateWindow(window);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return 0;
}
