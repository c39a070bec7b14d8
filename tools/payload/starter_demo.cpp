// Orvane.Tessaly.Starter.exe, demo edition: stands in for the product's starter tool. It shows
// for a moment what it was started with and ends by itself.
//
// Test controls, read from the environment:
//   OT_DEMO_STARTER_FILE=path    record the command line there
//   OT_DEMO_STARTER_SECONDS=N    how long the window stays (default 2; 0: no window at all)
#include <windows.h>

#include <string>

#include "demo_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  const std::wstring record = ot::demo::EnvironmentText(L"OT_DEMO_STARTER_FILE");
  if (!record.empty()) ot::demo::WriteRecord(record);
  const DWORD seconds = ot::demo::EnvironmentSeconds(L"OT_DEMO_STARTER_SECONDS", 2);
  if (seconds == 0) return 0;

  const std::vector<std::wstring> args = ot::demo::ParsedArguments();
  std::wstring text = L"Started with:";
  for (std::size_t i = 1; i < args.size(); ++i) text += L" " + args[i];
  HWND window = ot::demo::CreateDemoWindow(instance, L"OrvaneTessalyDemoStarter", L"Orvane Tessaly Starter (demo)",
                                           text);
  if (!window) return 0;
  ot::demo::CloseAfter(window, seconds);
  ot::demo::ShowUntilClosed(window, show);
  return 0;
}
