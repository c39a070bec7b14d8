#include "demo_common.h"

#include <shellapi.h>

namespace ot::demo {
namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring EnvironmentText(const wchar_t* name) {
  wchar_t small[256];
  const DWORD needed = GetEnvironmentVariableW(name, small, 256);
  if (needed == 0) return {};
  if (needed < 256) return std::wstring(small, needed);
  std::wstring value(needed, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, &value[0], needed);
  value.resize(got < needed ? got : 0);
  return value;
}

DWORD EnvironmentSeconds(const wchar_t* name, DWORD fallback) {
  const std::wstring text = EnvironmentText(name);
  if (text.empty() || text.size() > 5) return fallback;
  DWORD seconds = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return fallback;
    seconds = seconds * 10 + static_cast<DWORD>(c - L'0');
  }
  return seconds > 86400 ? 86400 : seconds;
}

bool EnvironmentFlag(const wchar_t* name) {
  const std::wstring text = EnvironmentText(name);
  return !text.empty() && text != L"0";
}

std::vector<std::wstring> ParsedArguments() {
  std::vector<std::wstring> args;
  int count = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
  }
  return args;
}

bool WriteRecord(const std::wstring& path) {
  std::string text = ToUtf8(GetCommandLineW()) + "\n";
  for (const std::wstring& arg : ParsedArguments()) text += ToUtf8(arg) + "\n";
  const std::wstring partial = path + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != text.size()) {
    DeleteFileW(partial.c_str());
    return false;
  }
  return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

namespace {

constexpr UINT_PTR kCloseTimer = 1;

// The Close button (or Esc) and the timer of CloseAfter destroy the window; its end ends the
// message loop.
LRESULT CALLBACK DemoWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) DestroyWindow(window);
      return 0;
    case WM_TIMER:
      KillTimer(window, kCloseTimer);
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

void CloseAfter(HWND window, DWORD seconds) { SetTimer(window, kCloseTimer, seconds * 1000, nullptr); }

void ShowUntilClosed(HWND window, int show) {
  ShowWindow(window, show);  // the first call honours the STARTUPINFO show mode
  UpdateWindow(window);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

HWND CreateDemoWindow(HINSTANCE instance, const wchar_t* className, const wchar_t* title,
                      const std::wstring& text) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DemoWindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = className;
  RegisterClassW(&wc);
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  HWND window = CreateWindowExW(0, className, title, style, CW_USEDEFAULT, CW_USEDEFAULT, 480, 240,
                                nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                               12, 12, 440, 140, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(100)),
                               instance, nullptr);
  HWND button = CreateWindowExW(0, L"BUTTON", L"Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                372, 164, 80, 26, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)),
                                instance, nullptr);
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return window;
}

}  // namespace ot::demo
