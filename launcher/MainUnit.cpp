#include "MainUnit.h"

#include <objbase.h>

#include <vector>

#include "archive_password.h"
#include "os/force_directories.h"
#include "core/build_check.h"
#include "core/dotnet_check.h"
#include "core/exit_codes.h"
#include "core/path_text.h"
#include "core/product.h"
#include "core/run_folders.h"
#include "core/system_text.h"
#include "core/user_sid.h"
#include "win32/delete_directory.h"
#include "win32/registry_win32.h"
#include "win32/run_folders_win32.h"
#include "win32/unique_handle.h"

namespace ot {

namespace {

constexpr wchar_t kFormClass[] = L"TMainForm";
constexpr wchar_t kPageControlClass[] = L"TPageControl";
constexpr wchar_t kTabSheetClass[] = L"TTabSheet";

constexpr COLORREF kRed = 255;  // 0x00BBGGRR: red 255, green 0, blue 0
constexpr DWORD kPauseMs = 3000;
constexpr int kSetupMutexAttempts = 10;
constexpr DWORD kProcessEndWaitMs = 5000;

// The resolution the layout is made for, and the message Windows sends a per-monitor aware
// window when it moves to a screen of another resolution (Windows 8.1 and later).
constexpr UINT kLayoutDpi = 96;
constexpr UINT kWmDpiChanged = 0x02E0;

constexpr wchar_t kRequirementsUrl[] = L"https://www.orvane.com/tessaly/system-requirements";
constexpr wchar_t kDotNetUrl[] = L"https://dotnet.microsoft.com/download/dotnet-framework";

constexpr wchar_t kSystemRefused[] =
    L"Your system doesn't support .NET 4.6 or better. Press the button to check the system "
    L"requirements and exit.";
constexpr wchar_t kDotNetRefused[] =
    L"You need to install the .NET runtime version 4.6 or higher (4.6.2, 4.7...4.8, etc), but NOT "
    L"5.0, 6.0, etc...";
constexpr wchar_t kLaunchingStarter[] = L"Launching the starter tool...";
constexpr wchar_t kStartingSetup[] = L"Starting the main setup program...";

constexpr wchar_t kLibraryResource[] = L"ORVUNZIPPER";
constexpr wchar_t kLibraryFile[] = L"OrvUnzip.dll";
constexpr wchar_t kArchiveResource[] = L"DISTRO";
constexpr wchar_t kArchiveFile[] = L"Distro.zip";
constexpr wchar_t kSetupSubdir[] = L"Setup";

using UnzipProc = int(WINAPI*)(const wchar_t*, const wchar_t*, const char*);

// shell32 is not imported. A static import is resolved, together with everything shell32
// imports in turn, before the entry routine can restrict the DLL search, so a DLL planted
// beside the launcher under one of those names would be loaded and run. It is loaded on first
// use instead, when only System32 is searched (shell32 is a known DLL where that restriction
// is missing), and stays loaded until the process ends.
FARPROC ShellFunction(const char* name) {
  static HMODULE shell = nullptr;
  if (!shell) shell = ::LoadLibraryW(L"shell32.dll");
  return shell ? ::GetProcAddress(shell, name) : nullptr;
}

void OpenWebPage(const wchar_t* url) {
  using ShellExecuteProc = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
  if (auto open = reinterpret_cast<ShellExecuteProc>(
          reinterpret_cast<void*>(ShellFunction("ShellExecuteW"))))
    open(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

// ShellExecuteExW; when shell32 cannot be had, fails with the loader's error code.
BOOL ShellExecuteExLate(SHELLEXECUTEINFOW* info) {
  using ShellExecuteExProc = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  auto execute = reinterpret_cast<ShellExecuteExProc>(
      reinterpret_cast<void*>(ShellFunction("ShellExecuteExW")));
  if (!execute) {
    if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return execute(info);
}

// The system's text for an error code, trimmed for use inside a sentence.
std::wstring SystemErrorText(DWORD code) {
  wchar_t buffer[256] = {};
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, buffer, 256, nullptr);
  if (n == 0) return L"System error " + std::to_wstring(code);
  return TrimSystemMessage(std::wstring(buffer, n));
}

std::wstring FullPathOf(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::vector<wchar_t> buffer(needed + 1);
  const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  return n == 0 || n >= buffer.size() ? path : std::wstring(buffer.data(), n);
}

std::wstring ModuleFileName() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// Ends a started program that still runs, with exit code 0. TerminateProcess only starts the
// ending: until the process is gone its files stay open and its image stays mapped, and the
// working directory that holds them could not be deleted. So the end is awaited, for a bounded
// time; a process that does not end by then is left to the deletion's own retries.
void EndIfRunning(HANDLE process) {
  DWORD status = 0;
  if (::GetExitCodeProcess(process, &status) && status == STILL_ACTIVE) {
    ::TerminateProcess(process, 0);
    ::WaitForSingleObject(process, kProcessEndWaitMs);
  }
}

// The system's dots per inch: that of the primary screen for a DPI-aware process, 96 for one that
// is not (Windows then scales its windows itself).
UINT SystemDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kLayoutDpi;
}

// User32 functions of Windows 10 (1607 and later), looked up so that the launcher still loads
// where they are missing.
FARPROC User32Function(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 ? ::GetProcAddress(user32, name) : nullptr;
}

// The dots per inch of the screen a window is on, where each screen may have its own;
// elsewhere the system's.
UINT WindowDpi(HWND window) {
  using GetDpiForWindowProc = UINT(WINAPI*)(HWND);
  static const auto forWindow = reinterpret_cast<GetDpiForWindowProc>(
      reinterpret_cast<void*>(User32Function("GetDpiForWindow")));
  const UINT dpi = forWindow ? forWindow(window) : 0;
  return dpi > 0 ? dpi : SystemDpi();
}

std::wstring SetupMutexName() { return FormatText(L"Global\\%s Setup Mutex", {kProductName}); }

// Creates every missing level of path, outermost first. Whether it worked shows when the working
// folder is made in it.
void ForceDirectories(const std::wstring& path) {
  orv::ForceDirectories(
      path, [](const std::wstring& level) { return ::GetFileAttributesW(level.c_str()); },
      [](const std::wstring& level) { return ::CreateDirectoryW(level.c_str(), nullptr) != FALSE; });
}

// Writes one RT_RCDATA resource of the launcher's own image to a file in one write, straight
// from the mapped image. Returns an empty text on success, else the reason.
std::wstring WriteResourceToFile(const wchar_t* resourceName, const std::wstring& path) {
  HMODULE self = ::GetModuleHandleW(nullptr);
  HRSRC info = ::FindResourceW(self, resourceName, RT_RCDATA);
  HGLOBAL loaded = info ? ::LoadResource(self, info) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return FormatText(L"Resource %s not found", {resourceName});
  const DWORD size = ::SizeofResource(self, info);

  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    return FormatText(L"Cannot create file \"%s\". %s", {FullPathOf(path), SystemErrorText(error)});
  }
  DWORD written = 0;
  if (!::WriteFile(file.get(), data, size, &written, nullptr) || written != size)
    return L"Stream write error";
  return std::wstring();
}

}  // namespace

TMainForm::TMainForm(HINSTANCE instance, bool interactive)
    : instance_(instance), interactive_(interactive), exitCode_(kExitHandedOff) {}

TMainForm::~TMainForm() {
  if (handle_ && ::IsWindow(handle_)) ::DestroyWindow(handle_);
}

// ---------------------------------------------------------------------------------------------
// Window creation from the layout

bool TMainForm::RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = FormProc;
  form.hInstance = instance;
  form.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  // The application's default icon until FormCreate puts AICON in its place.
  form.hIcon = ::LoadIconW(instance, L"MAINICON");
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kFormClass;
  if (!::RegisterClassExW(&form) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  WNDCLASSEXW container = form;
  container.lpfnWndProc = ContainerProc;
  container.lpszClassName = kPageControlClass;
  if (!::RegisterClassExW(&container) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  container.lpszClassName = kTabSheetClass;
  if (!::RegisterClassExW(&container) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  return true;
}

bool TMainForm::Create() {
  HRSRC info = ::FindResourceW(instance_, L"TMAINFORM", RT_RCDATA);
  HGLOBAL loaded = info ? ::LoadResource(instance_, info) : nullptr;
  const char* text = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  if (!text) return false;
  LayoutError error;
  const auto layout = ParseLayout(std::string_view(text, ::SizeofResource(instance_, info)), error);
  if (!layout || layout->className != kFormClass || !RegisterClasses(instance_)) return false;

  const LayoutObject& form = *layout;
  fontHeight_ = form.Integer(L"Font.Height", -11);
  fontName_ = form.Text(L"Font.Name", L"Tahoma");
  clientWidth_ = form.Integer(L"ClientWidth", 443);
  clientHeight_ = form.Integer(L"ClientHeight", 94);
  // Until the window exists its screen is not known; it is centred on the primary screen, whose
  // resolution is the system's.
  dpi_ = SystemDpi();
  font_ = MakeFont();

  // A sizable tool window with only the system menu's close box.
  style_ = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
  if (form.Text(L"BorderStyle") == L"bsSizeToolWin") style_ |= WS_THICKFRAME;
  if (form.HasSetItem(L"BorderIcons", L"biSystemMenu")) style_ |= WS_SYSMENU;
  if (form.HasSetItem(L"BorderIcons", L"biMinimize")) style_ |= WS_MINIMIZEBOX;
  if (form.HasSetItem(L"BorderIcons", L"biMaximize")) style_ |= WS_MAXIMIZEBOX;
  // The tool window still owns the task-bar button.
  exStyle_ = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW;

  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const auto centre = [&work](const RECT& frame, int& x, int& y) {
    x = work.left + ((work.right - work.left) - (frame.right - frame.left)) / 2;
    y = work.top + ((work.bottom - work.top) - (frame.bottom - frame.top)) / 2;
  };
  RECT frame = FrameFor(clientWidth_, clientHeight_);
  int x = 0, y = 0;
  centre(frame, x, y);
  handle_ = ::CreateWindowExW(exStyle_, kFormClass, L"", style_, x, y, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance_, this);
  if (!handle_) return false;
  controls_[handle_].hwnd = handle_;

  for (const LayoutObject& child : form.children)
    if (!CreateControls(child, handle_, 1)) return false;

  // Every control the window works with must be in the layout.
  struct Binding {
    const wchar_t* name;
    HWND* member;
  } const bindings[] = {{L"mainPages", &mainPages}, {L"pageSystem", &pageSystem},
                        {L"pageNET", &pageNET},     {L"pageExtract", &pageExtract},
                        {L"lblSystem", &lblSystem}, {L"btnSystem", &btnSystem},
                        {L"lblNET", &lblNET},       {L"btnNET", &btnNET},
                        {L"lblExtract", &lblExtract}};
  for (const Binding& b : bindings) {
    auto it = byName_.find(b.name);
    if (it == byName_.end()) return false;
    *b.member = it->second;
  }
  if (const LayoutObject* pages = FindLayoutObject(form, L"mainPages")) {
    tabHeight_ = pages->Integer(L"TabHeight", 20);
    auto active = byName_.find(pages->Text(L"ActivePage"));
    SetActivePage(active != byName_.end() ? active->second : pageSystem);
  }
  // Where each screen has its own resolution, the one the window landed on may differ.
  if (const UINT dpi = WindowDpi(handle_); dpi != dpi_) {
    ApplyDpi(dpi);
    frame = FrameFor(clientWidth_, clientHeight_);
    centre(frame, x, y);
    ::SetWindowPos(handle_, nullptr, x, y, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }

  if (form.Text(L"OnCreate") == L"FormCreate") FormCreate();
  return true;
}

bool TMainForm::CreateControls(const LayoutObject& object, HWND parent, int depth) {
  if (depth > kMaxLayoutDepth || byName_.count(object.name)) return false;
  const int left = object.Integer(L"Left", 0);
  const int top = object.Integer(L"Top", 0);
  const int width = object.Integer(L"Width", 0);
  const int height = object.Integer(L"Height", 0);
  const bool placed = object.className == L"TLabel" || object.className == L"TButton";
  const std::wstring caption = object.Text(L"Caption");
  const auto id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(nextControlId_++));

  const wchar_t* cls = nullptr;
  DWORD style = WS_CHILD;
  if (object.className == L"TPageControl") {
    cls = kPageControlClass;
    style |= WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
  } else if (object.className == L"TTabSheet") {
    cls = kTabSheetClass;  // shown only while it is the active page
    style |= WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
  } else if (object.className == L"TLabel") {
    cls = L"STATIC";
    style |= WS_VISIBLE | (object.Boolean(L"WordWrap", false) ? SS_LEFT : SS_LEFTNOWORDWRAP);
  } else if (object.className == L"TButton") {
    cls = L"BUTTON";
    style |= WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  } else {
    return false;
  }
  if (!object.Boolean(L"Enabled", true)) style |= WS_DISABLED;

  HWND hwnd = ::CreateWindowExW(0, cls, caption.c_str(), style, Scale(left), Scale(top), Scale(width),
                                Scale(height), parent, id, instance_, nullptr);
  if (!hwnd) return false;
  ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  ControlInfo info;
  info.hwnd = hwnd;
  info.onClick = object.Text(L"OnClick");
  info.layout = RECT{left, top, width, height};
  info.placed = placed;
  controls_[hwnd] = info;
  byName_[object.name] = hwnd;

  for (const LayoutObject& child : object.children)
    if (!CreateControls(child, hwnd, depth + 1)) return false;
  return true;
}

// The page control fills the client area; each page fills the page control below the tab
// strip, which takes no room while every tab is hidden.
void TMainForm::LayoutPages() {
  if (!mainPages) return;
  RECT client{};
  ::GetClientRect(handle_, &client);
  ::MoveWindow(mainPages, 0, 0, client.right, client.bottom, TRUE);
  bool anyTab = false;
  for (HWND page : {pageSystem, pageNET, pageExtract}) anyTab = anyTab || controls_[page].tabVisible;
  const int top = anyTab ? Scale(tabHeight_) : 0;
  for (HWND page : {pageSystem, pageNET, pageExtract})
    ::MoveWindow(page, 0, top, client.right, client.bottom - top, TRUE);
}

int TMainForm::Scale(int pixelsAt96) const {
  return ::MulDiv(pixelsAt96, static_cast<int>(dpi_), static_cast<int>(kLayoutDpi));
}

UniqueFont TMainForm::MakeFont() const {
  return UniqueFont(::CreateFontW(Scale(fontHeight_), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, fontName_.c_str()));
}

// The window's outer size for a client area given at 96 dpi, at the window's resolution: with
// that resolution's caption and borders where Windows can say (AdjustWindowRectExForDpi), else
// with the system's, which is the window's own then.
RECT TMainForm::FrameFor(int clientWidth, int clientHeight) const {
  using AdjustForDpiProc = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = reinterpret_cast<AdjustForDpiProc>(
      reinterpret_cast<void*>(User32Function("AdjustWindowRectExForDpi")));
  RECT frame{0, 0, Scale(clientWidth), Scale(clientHeight)};
  if (!adjustForDpi || !adjustForDpi(&frame, style_, FALSE, exStyle_, dpi_))
    ::AdjustWindowRectEx(&frame, style_, FALSE, exStyle_);
  return frame;
}

// Redraws the layout for another resolution: the font made anew, every label and button moved
// to its scaled place, the pages fitted to the client area. The window's own size is the
// caller's (WM_DPICHANGED brings the size Windows suggests).
void TMainForm::ApplyDpi(UINT dpi) {
  dpi_ = dpi > 0 ? dpi : kLayoutDpi;
  UniqueFont font = MakeFont();
  for (const auto& [hwnd, info] : controls_) {
    if (hwnd == handle_) continue;
    if (info.placed) {
      ::MoveWindow(hwnd, Scale(info.layout.left), Scale(info.layout.top), Scale(info.layout.right),
                   Scale(info.layout.bottom), FALSE);
    }
    ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  }
  font_ = std::move(font);  // the old font goes once no control uses it
  LayoutPages();
  ::InvalidateRect(handle_, nullptr, TRUE);
}

void TMainForm::SetActivePage(HWND page) {
  activePage_ = page;
  for (HWND p : {pageSystem, pageNET, pageExtract})
    if (p) ::ShowWindow(p, p == page ? SW_SHOW : SW_HIDE);
}

void TMainForm::HideTabs() {
  for (HWND page : {pageSystem, pageNET, pageExtract}) controls_[page].tabVisible = false;
  LayoutPages();
}

void TMainForm::SetLabelText(HWND label, const std::wstring& text) {
  ::SetWindowTextW(label, text.c_str());
}

void TMainForm::SetLabelColor(HWND label, COLORREF color) {
  ControlInfo& info = controls_[label];
  info.textColor = color;
  info.ownColor = true;
  ::InvalidateRect(label, nullptr, TRUE);
}

void TMainForm::BringToFront() {
  ::SetWindowPos(handle_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TMainForm::Close() {
  if (handle_ && ::IsWindow(handle_)) ::SendMessageW(handle_, WM_CLOSE, 0, 0);
}

void TMainForm::Show() {
  FormShow();
  if (handle_ && ::IsWindow(handle_) && !closing_) {
    ::ShowWindow(handle_, SW_SHOWNORMAL);
    ::UpdateWindow(handle_);
  }
}

LRESULT CALLBACK TMainForm::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<TMainForm*>(create->lpCreateParams)->handle_ = hwnd;
  }
  auto* self = reinterpret_cast<TMainForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

// Pages and the page control pass notifications of their children up to the form.
LRESULT CALLBACK TMainForm::ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ::SendMessageW(::GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
    default:
      return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      LayoutPages();
      return 0;
    case kWmDpiChanged: {
      ApplyDpi(HIWORD(wParam));
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(handle_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      auto it = controls_.find(reinterpret_cast<HWND>(lParam));
      ::SetTextColor(dc, it != controls_.end() && it->second.ownColor ? it->second.textColor
                                                                       : ::GetSysColor(COLOR_WINDOWTEXT));
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        auto it = controls_.find(reinterpret_cast<HWND>(lParam));
        if (it != controls_.end()) {
          if (it->second.onClick == L"btnSystemClick") btnSystemClick();
          else if (it->second.onClick == L"btnNETClick") btnNETClick();
        }
        return 0;
      }
      break;
    case WM_CLOSE:
      if (!closing_) {
        closing_ = true;
        FormClose();
        ::DestroyWindow(handle_);
      }
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(handle_, message, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------
// Events

void TMainForm::FormCreate() {
  HICON icon = ::LoadIconW(instance_, L"AICON");
  if (icon) {
    ::SendMessageW(handle_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(handle_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  ::SetWindowTextW(handle_, kApplicationTitle);
  HideTabs();
  SetActivePage(pageSystem);
  ExecuteInfo.reset();
}

void TMainForm::FormShow() { RunSteps(); }

void TMainForm::FormClose() { CleanUp(); }

void TMainForm::btnSystemClick() {
  OpenWebPage(kRequirementsUrl);
  Close();
}

void TMainForm::btnNETClick() {
  OpenWebPage(kDotNetUrl);
  Close();
}

// ---------------------------------------------------------------------------------------------
// The staged flow

void TMainForm::RunSteps() {
  if (!IsWindowsSupported()) {
    SetLabelText(lblSystem, kSystemRefused);
    SetLabelColor(lblSystem, kRed);
    ::EnableWindow(btnSystem, TRUE);
    StopOnFailure(kExitWindowsRefused);
    return;
  }
  SetActivePage(pageNET);
  if (!IsDotNetInstalled()) {
    SetLabelText(lblNET, kDotNetRefused);
    SetLabelColor(lblNET, kRed);
    ::EnableWindow(btnNET, TRUE);
    StopOnFailure(kExitDotNetMissing);
    return;
  }
  SetActivePage(pageExtract);
  if (!ExtractDistribution()) {
    StopOnFailure(kExitExtractionFailed);
    return;
  }
  SetLabelText(lblExtract, kLaunchingStarter);
  LaunchStarter();
  SetLabelText(lblExtract, kStartingSetup);
  if (LaunchSetup()) Close();
}

// The flow has stopped on a failure: the window waits on its page for the user, and whichever way
// it is closed, the run ends with the failure's code. Where no one can see the page, no one would
// ever close it: the window closes at once instead, which cleans up.
void TMainForm::StopOnFailure(unsigned long exitCode) {
  exitCode_ = exitCode;
  if (!interactive_) Close();
}

bool TMainForm::IsWindowsSupported() {
  using VersionProc = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto query = ntdll ? reinterpret_cast<VersionProc>(
                           reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetNtVersionNumbers")))
                     : nullptr;
  DWORD major = 0, minor = 0, build = 0;
  if (query) query(&major, &minor, &build);
  return IsBuildSupported(build);
}

bool TMainForm::IsDotNetInstalled() {
  Win32Registry registry;
  return ot::IsDotNetInstalled(registry);
}

void TMainForm::ShowError(const std::wstring& text) {
  SetLabelText(lblExtract, text);
  SetLabelColor(lblExtract, kRed);
}

// The per-run working directory: a fresh GUID under the user's temporary directory, created and
// opened in one step, with the protected rights when the launcher runs elevated or as
// LocalSystem, and held from its creation until the clean-up has removed it through that hold.
bool TMainForm::MakeWorkingDirectory() {
  DWORD error = ERROR_SUCCESS;
  tempDir_ = TemporaryDirectory(error);
  if (tempDir_.empty()) {
    ShowError(error == ERROR_BUFFER_OVERFLOW
                  ? std::wstring(L"Couldn't create the working directory: the temporary directory's path is too long")
                  : FormatText(L"Couldn't create the working directory: %s", {SystemErrorText(error)}));
    return false;
  }
  protectedFolder_ = NeedsProtectedFolder(ReadTokenFacts());
  ForceDirectories(tempDir_);
  std::wstring guid;
  Win32GuidSource guids;
  if (!guids.NewGuidText(guid)) {
    ShowError(L"Couldn't create the working directory: no unique name could be made");
    return false;
  }
  workingDir = JoinPath(tempDir_, guid);
  WorkingFolder made = CreateWorkingFolder(tempDir_, guid, protectedFolder_);
  liveHold_ = std::move(made.hold);
  if (made.error == ERROR_ALREADY_EXISTS) {
    // Not made by this run, so neither its rights nor its contents are known: never used,
    // and never deleted at close.
    workingDir.clear();
    ShowError(FormatText(L"Couldn't create the working directory: %s", {SystemErrorText(made.error)}));
    return false;
  }
  if (made.unprotected) {
    // Made, but the drive did not keep the rights that shut unelevated processes out (FAT,
    // exFAT): nothing is written into it, and the clean-up removes it through the hold.
    ShowError(L"Couldn't create the working directory: the temporary directory's drive cannot "
              L"protect it from programs without administrator rights");
    return false;
  }
  // Any other failure shows as the first file that cannot be written into it.
  return true;
}

bool TMainForm::ExtractDistribution() {
  if (!MakeWorkingDirectory()) return false;

  std::wstring failure = WriteResourceToFile(kLibraryResource, JoinPath(workingDir, kLibraryFile));
  if (!failure.empty()) {
    ShowError(FormatText(L"Couldn't extract the unzipping dll: %s", {failure}));
    return false;
  }
  const std::wstring archivePath = JoinPath(workingDir, kArchiveFile);
  failure = WriteResourceToFile(kArchiveResource, archivePath);
  if (!failure.empty()) {
    ShowError(FormatText(L"Couldn't extract the compressed distribution file: %s", {failure}));
    return false;
  }

  setupDir = JoinPath(workingDir, kSetupSubdir);
  ::CreateDirectoryW(setupDir.c_str(), nullptr);

  UniqueModule library(::LoadLibraryW(JoinPath(workingDir, kLibraryFile).c_str()));
  if (!library) {
    ShowError(L"Couldn't load the unzipping library.");
    return false;
  }
  auto unzip = reinterpret_cast<UnzipProc>(
      reinterpret_cast<void*>(::GetProcAddress(library.get(), "Unzip")));
  if (!unzip) {
    ShowError(L"Couldn't load the unzipping procedure.");
    return false;
  }
  const int result = unzip(archivePath.c_str(), setupDir.c_str(), kArchivePassword);
  library.reset();
  if (result == 0) {
    ShowError(L"An error occurred while unzipping the distribution file.");
    return false;
  }
  return true;
}

bool TMainForm::LaunchStarter() {
  const std::wstring path = JoinPath(setupDir, kStarterProgramName);
  std::wstring commandLine = QuoteText(path) + L" " + kStarterSwitch;
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNOACTIVATE;
  PROCESS_INFORMATION* record = ProcessInfo.put();

  BringToFront();
  const BOOL started = ::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, record);
  BringToFront();
  if (!started) *record = PROCESS_INFORMATION{};
  return started != FALSE;
}

bool TMainForm::LaunchSetup() {
  bool result = true;
  const std::wstring file = QuoteText(JoinPath(setupDir, kSetupProgramName));
  const std::wstring launcherDir =
      QuoteText(EscapeTrailingBackslash(DirectoryOfModulePath(ModuleFileName())));
  const std::wstring parameters = launcherDir + L" " + QuoteText(GetUserSid());

  BringToFront();
  ExecuteInfo.reset(new SHELLEXECUTEINFOW{});
  ExecuteInfo->cbSize = sizeof(SHELLEXECUTEINFOW);
  ExecuteInfo->fMask = SEE_MASK_NOCLOSEPROCESS;
  // Where no one can see it, the shell must not show an error box of its own and wait on it.
  if (!interactive_) ExecuteInfo->fMask |= SEE_MASK_FLAG_NO_UI;
  ExecuteInfo->hwnd = nullptr;
  ExecuteInfo->lpVerb = L"open";
  ExecuteInfo->lpFile = file.c_str();
  ExecuteInfo->lpParameters = parameters.c_str();
  ExecuteInfo->lpDirectory = nullptr;
  ExecuteInfo->nShow = SW_SHOWNORMAL;

  if (!ShellExecuteExLate(ExecuteInfo.get())) {
    DWORD error = ::GetLastError();
    // Some shells show their own error box before returning, which clears the thread's last
    // error; the record's hInstApp then still carries the reason (SE_ERR_FNF and the like use
    // the same numbers as the system's error codes).
    if (error == ERROR_SUCCESS) {
      const auto code = static_cast<DWORD>(reinterpret_cast<INT_PTR>(ExecuteInfo->hInstApp));
      error = code > 0 && code <= 32 ? code : ERROR_FILE_NOT_FOUND;
    }
    ExecuteInfo->hProcess = nullptr;
    const std::wstring text = FormatText(L"Couldn't execute the setup program. Error code: %d",
                                         {std::to_wstring(static_cast<int>(error))});
    SetLabelText(lblExtract, text);
    SetLabelColor(lblExtract, kRed);
    BringToFront();
    result = false;
    exitCode_ = kExitSetupNotStarted;
    if (interactive_) ::MessageBoxW(handle_, text.c_str(), kApplicationTitle, MB_OK);
    Close();
    return result;
  }
  // The texts lived only for the call.
  ExecuteInfo->lpFile = nullptr;
  ExecuteInfo->lpParameters = nullptr;

  ::ShowWindow(handle_, SW_HIDE);
  ::Sleep(kPauseMs);
  const std::wstring mutexName = SetupMutexName();
  UniqueKernelHandle mutex;
  for (int failures = 0; failures < kSetupMutexAttempts;) {
    mutex.reset(::OpenMutexW(SYNCHRONIZE, FALSE, mutexName.c_str()));
    if (mutex) break;
    ++failures;
    ::Sleep(kPauseMs);
  }
  if (mutex) {
    if (::WaitForSingleObject(mutex.get(), INFINITE) == WAIT_OBJECT_0) ::ReleaseMutex(mutex.get());
  }
  return result;
}

std::wstring TMainForm::GetUserSid() {
  Win32Registry registry;
  Win32GuidSource guids;
  return ot::GetUserSid(registry, guids);
}

void TMainForm::CleanUp() {
  ::Sleep(kPauseMs);
  CloseStarterProcess();
  CloseSetupProcess();
  // Removed through the hold, which is let go only once the folder is marked for deletion: by
  // path, a folder put in its place after the hold ended would be deleted instead.
  DeleteDirectory(liveHold_);
  if (!workingDir.empty()) SweepEarlierRunFolders();
}

// Removes what killed runs left in the same temporary directory. Not while any setup program
// holds its mutex: a killed launcher's setup program may still be reading files from its
// folder. The window is hidden first, so the user never waits on it.
void TMainForm::SweepEarlierRunFolders() {
  UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, SetupMutexName().c_str()));
  if (mutex || ::GetLastError() == ERROR_ACCESS_DENIED) return;
  if (handle_ && ::IsWindow(handle_)) ::ShowWindow(handle_, SW_HIDE);
  ot::SweepEarlierRunFolders(tempDir_, workingDir.substr(workingDir.find_last_of(L"\\/") + 1),
                             protectedFolder_);
}

void TMainForm::CloseStarterProcess() {
  if (ProcessInfo.process()) EndIfRunning(ProcessInfo.process());
  ProcessInfo.reset();
}

// A setup program that has ended by now hands its exit code on to the launcher's, so that a
// deployment tool learns its outcome (3010 and 1641: installed, a restart is needed). One that
// still runs is ended, and the run counts as handed off.
void TMainForm::CloseSetupProcess() {
  if (!ExecuteInfo) return;
  if (HANDLE process = ExecuteInfo->hProcess) {
    DWORD code = 0;
    if (::WaitForSingleObject(process, 0) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process, &code))
      exitCode_ = code;
    else
      EndIfRunning(process);
  }
  ExecuteInfo.reset();
}

// ---------------------------------------------------------------------------------------------
// Path helpers

std::wstring TMainForm::JoinPath(const std::wstring& dir, const std::wstring& name) {
  return ot::JoinPath(dir, name);
}

std::wstring TMainForm::QuoteText(const std::wstring& text) { return ot::QuoteText(text); }

void TMainForm::DeleteDirectory(Opened& folder) { DeleteHeldDirectory(folder); }

}  // namespace ot
