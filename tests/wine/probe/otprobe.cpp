// otprobe: looks at and pokes the windows and processes of a Wine prefix on behalf of the
// Python test harness. Each command prints one JSON document (UTF-8) on stdout and exits 0, or
// prints a message on stderr and exits 2 for bad usage / 1 when the action failed.
//
//   otprobe list              every top-level window with all of its descendants
//   otprobe click HWND [--send]  BM_CLICK (posted, so a modal dialog it opens cannot block us)
//   otprobe close HWND        WM_CLOSE (posted)
//   otprobe settext HWND TEXT WM_SETTEXT (sent with a time-out; the text is marshalled)
//   otprobe key HWND VK       WM_KEYDOWN + WM_KEYUP (posted)
//   otprobe procs             the running processes: image name, pid, parent pid
//   otprobe version           RtlGetNtVersionNumbers and GetVersionExW as seen by programs
//   otprobe hang TITLE MS     shows a window (a label "Static text", an edit field) and then
//                             blocks its thread for MS milliseconds: a stand-in for a GUI
//                             thread that waits, to test that "list" stays quick and complete
//   otprobe run [--limited] [--hidden] PROGRAM [ARG...]
//                             runs PROGRAM, waits for it and prints "otprobe: exit code N" (its
//                             whole 32-bit exit code: Wine hands only the low 8 bits of a
//                             Windows program's code to the Linux side). Standard handles are
//                             passed on. --limited: with the limited token linked to this
//                             (elevated) process's token, as a standard user's shell starts a
//                             program. --hidden: in a window station of its own, which is not
//                             interactive (as a deployment agent's program in session 0): its
//                             windows are on a desktop no one sees
//
// HWND arguments are decimal or 0x-prefixed hexadecimal, as "list" prints them (decimal).
// Texts are read with WM_GETTEXT through SendMessageTimeoutW, so a hung window cannot hang us.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

namespace {

constexpr UINT kMessageTimeoutMs = 2000;
constexpr UINT kProbeTimeoutMs = 250;

class Json {
 public:
  void Raw(const char* text) { out_ += text; }
  void Key(const char* name) {
    Comma();
    Quoted(name);
    out_ += ':';
    afterKey_ = true;
  }
  void String(const char* utf8) {
    Comma();
    Quoted(utf8);
  }
  void String(const std::wstring& text) { String(ToUtf8(text).c_str()); }
  void Number(long long value) {
    Comma();
    out_ += std::to_string(value);
  }
  void Unsigned(unsigned long long value) {
    Comma();
    out_ += std::to_string(value);
  }
  void Bool(bool value) {
    Comma();
    out_ += value ? "true" : "false";
  }
  void Open(char bracket) {
    Comma();
    out_ += bracket;
    first_ = true;
  }
  void Close(char bracket) {
    out_ += bracket;
    first_ = false;
  }
  const std::string& Text() const { return out_; }

 private:
  void Comma() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (!first_ && !out_.empty()) out_ += ',';
    first_ = false;
  }
  void Quoted(const char* utf8) {
    out_ += '"';
    for (const char* p = utf8; *p; ++p) AppendEscaped(static_cast<unsigned char>(*p));
    out_ += '"';
  }
  void AppendEscaped(unsigned char c) {
    if (c == '"' || c == '\\') {
      out_ += '\\';
      out_ += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out_ += buf;
    } else {
      out_ += static_cast<char>(c);
    }
  }
  // Lone surrogates cannot be encoded in UTF-8; they become U+FFFD so the output stays valid.
  static std::string ToUtf8(const std::wstring& text) {
    std::wstring clean = text;
    for (size_t i = 0; i < clean.size(); ++i) {
      const wchar_t c = clean[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < clean.size() && clean[i + 1] >= 0xDC00 &&
          clean[i + 1] <= 0xDFFF) {
        ++i;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        clean[i] = 0xFFFD;
      }
    }
    if (clean.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, clean.data(), static_cast<int>(clean.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, clean.data(), static_cast<int>(clean.size()), &out[0], size,
                          nullptr, nullptr);
    }
    return out;
  }

  std::string out_;
  bool first_ = true;
  bool afterKey_ = false;
};

void WriteStdout(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
    if (!WriteFile(out, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

void Fail(const char* message) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  WriteFile(err, message, static_cast<DWORD>(std::strlen(message)), &written, nullptr);
  WriteFile(err, "\n", 1, &written, nullptr);
}

unsigned long long HandleNumber(HWND hwnd) {
  return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd));
}

bool ParseHandle(const wchar_t* text, HWND& out) {
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(text, &end, 0);
  if (end == text || *end != L'\0' || value == 0) return false;
  out = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
  return true;
}

// Whether the thread that owns hwnd answers messages now. A GUI thread that is blocked (the
// launcher waits synchronously on its GUI thread) would cost the full message time-out for
// every one of its windows, so such threads are asked once and then only read from.
bool ThreadResponds(HWND hwnd) {
  static std::map<DWORD, bool> known;
  const DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
  auto it = known.find(thread);
  if (it != known.end()) return it->second;
  DWORD_PTR ignored = 0;
  const bool responds = SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                                            kProbeTimeoutMs, &ignored) != 0;
  known.emplace(thread, responds);
  return responds;
}

// WM_GETTEXT when the owner answers (an edit control's text lives in the control); otherwise the
// text stored with the window, which needs no message (labels, buttons and captions keep it
// there; an edit control's may be stale).
std::wstring WindowText(HWND hwnd) {
  if (!ThreadResponds(hwnd)) {
    wchar_t stored[1024] = {};
    const int length = InternalGetWindowText(hwnd, stored, 1024);
    return std::wstring(stored, static_cast<size_t>(length > 0 ? length : 0));
  }
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                           &length)) {
    return {};
  }
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return {};
  }
  text.resize(copied < text.size() ? static_cast<size_t>(copied) : text.size() - 1);
  return text;
}

std::wstring ClassName(HWND hwnd) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, static_cast<size_t>(length > 0 ? length : 0));
}

void WriteRect(Json& json, HWND hwnd) {
  RECT rect = {};
  GetWindowRect(hwnd, &rect);
  json.Key("rect");
  json.Open('[');
  json.Number(rect.left);
  json.Number(rect.top);
  json.Number(rect.right);
  json.Number(rect.bottom);
  json.Close(']');
}

void WriteCommon(Json& json, HWND hwnd) {
  json.Key("hwnd");
  json.Unsigned(HandleNumber(hwnd));
  json.Key("cls");
  json.String(ClassName(hwnd));
  json.Key("visible");
  json.Bool(IsWindowVisible(hwnd) != FALSE);
  json.Key("enabled");
  json.Bool(IsWindowEnabled(hwnd) != FALSE);
  WriteRect(json, hwnd);
  json.Key("style");
  json.Unsigned(static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)));
  json.Key("exstyle");
  json.Unsigned(static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)));
  json.Key("responding");
  json.Bool(ThreadResponds(hwnd));
}

BOOL CALLBACK ListChild(HWND hwnd, LPARAM param) {
  Json& json = *reinterpret_cast<Json*>(param);
  json.Open('{');
  WriteCommon(json, hwnd);
  json.Key("id");
  json.Number(GetDlgCtrlID(hwnd));
  json.Key("parent");
  json.Unsigned(HandleNumber(GetParent(hwnd)));
  json.Key("text");
  json.String(WindowText(hwnd));
  json.Close('}');
  return TRUE;
}

BOOL CALLBACK ListTopLevel(HWND hwnd, LPARAM param) {
  Json& json = *reinterpret_cast<Json*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  json.Open('{');
  WriteCommon(json, hwnd);
  json.Key("pid");
  json.Unsigned(pid);
  json.Key("title");
  json.String(WindowText(hwnd));
  json.Key("children");
  json.Open('[');
  EnumChildWindows(hwnd, ListChild, param);
  json.Close(']');
  json.Close('}');
  return TRUE;
}

int ListWindows() {
  Json json;
  json.Open('[');
  EnumWindows(ListTopLevel, reinterpret_cast<LPARAM>(&json));
  json.Close(']');
  json.Raw("\n");
  WriteStdout(json.Text());
  return 0;
}

int ListProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    Fail("CreateToolhelp32Snapshot failed");
    return 1;
  }
  Json json;
  json.Open('[');
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    json.Open('{');
    json.Key("name");
    json.String(std::wstring(entry.szExeFile));
    json.Key("pid");
    json.Unsigned(entry.th32ProcessID);
    json.Key("ppid");
    json.Unsigned(entry.th32ParentProcessID);
    json.Close('}');
  }
  CloseHandle(snapshot);
  json.Close(']');
  json.Raw("\n");
  WriteStdout(json.Text());
  return 0;
}

int PrintVersion() {
  using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
  DWORD major = 0, minor = 0, build = 0;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto rtl = ntdll ? reinterpret_cast<RtlGetNtVersionNumbersFn>(reinterpret_cast<void*>(
                         GetProcAddress(ntdll, "RtlGetNtVersionNumbers")))
                   : nullptr;
  if (rtl) rtl(&major, &minor, &build);
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  Json json;
  json.Open('{');
  json.Key("rtl");
  json.Open('[');
  json.Unsigned(major);
  json.Unsigned(minor);
  json.Unsigned(build);
  json.Close(']');
  json.Key("build");
  json.Unsigned(build & 0xFFFF);
  json.Key("getversion");
  json.Open('[');
  json.Unsigned(info.dwMajorVersion);
  json.Unsigned(info.dwMinorVersion);
  json.Unsigned(info.dwBuildNumber);
  json.Close(']');
  json.Key("servicepack");
  json.Open('[');
  json.Unsigned(info.wServicePackMajor);
  json.Unsigned(info.wServicePackMinor);
  json.Close(']');
  json.Key("csd");
  json.String(std::wstring(info.szCSDVersion));
  json.Close('}');
  json.Raw("\n");
  WriteStdout(json.Text());
  return 0;
}

int HangingWindow(const wchar_t* title, DWORD milliseconds) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = L"OtProbeWindow";
  RegisterClassW(&windowClass);
  // The window takes its real title only once its thread is about to block, so a test that
  // finds it by that title never sees it while it still pumps messages.
  HWND top = CreateWindowExW(0, L"OtProbeWindow", L"otprobe starting",
                             WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 320, 140, nullptr, nullptr,
                             instance, nullptr);
  if (!top) {
    Fail("CreateWindowExW failed");
    return 1;
  }
  CreateWindowExW(0, L"STATIC", L"Static text", WS_CHILD | WS_VISIBLE, 10, 10, 200, 20, top,
                  reinterpret_cast<HMENU>(101), instance, nullptr);
  CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 10, 40, 200, 24, top,
                  reinterpret_cast<HMENU>(102), instance, nullptr);
  const DWORD pumpUntil = GetTickCount() + 300;
  while (static_cast<LONG>(pumpUntil - GetTickCount()) > 0) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(10);
  }
  SetWindowTextW(top, title);
  Sleep(milliseconds);
  DestroyWindow(top);
  return 0;
}

// The limited token linked to this process's elevated one, or nullptr.
HANDLE LimitedToken() {
  HANDLE token = nullptr;
  TOKEN_LINKED_TOKEN linked = {};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  const BOOL got = GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
  CloseHandle(token);
  return got ? linked.LinkedToken : nullptr;
}

// One argument of a command line, quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

int RunProgram(int argc, wchar_t** argv, bool hidden, bool limited) {
  HANDLE token = nullptr;
  if (limited && !(token = LimitedToken())) {
    Fail("no limited token");
    return 3;
  }
  constexpr wchar_t kStation[] = L"OtProbeHidden";
  HWINSTA station = nullptr;
  HDESK desktop = nullptr;
  std::wstring desktopName = std::wstring(kStation) + L"\\Default";
  if (hidden) {
    HWINSTA own = GetProcessWindowStation();
    station = CreateWindowStationW(kStation, 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station || !SetProcessWindowStation(station)) {
      Fail("cannot create the window station");
      return 3;
    }
    // A desktop is made in the process's current window station.
    desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    if (!desktop) {
      Fail("cannot create the desktop");
      return 3;
    }
  }
  std::wstring commandLine;
  for (int i = 0; i < argc; ++i) commandLine += (i ? L" " : L"") + QuoteArgument(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (hidden) startup.lpDesktop = &desktopName[0];
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const BOOL started =
      token ? CreateProcessAsUserW(token, argv[0], &commandLine[0], nullptr, nullptr, TRUE, 0,
                                   nullptr, nullptr, &startup, &process)
            : CreateProcessW(argv[0], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process);
  if (token) CloseHandle(token);
  if (!started) {
    Fail("cannot start the program");
    return 3;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 3;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  if (desktop) CloseDesktop(desktop);
  if (station) CloseWindowStation(station);
  WriteStdout("otprobe: exit code " + std::to_string(code) + "\n");
  return static_cast<int>(code);
}

int Usage() {
  Fail("usage: otprobe list | procs | version | click HWND [--send] | close HWND | "
       "settext HWND TEXT | key HWND VK | hang TITLE MS | "
       "run [--limited] [--hidden] PROGRAM [ARG...]");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"list" && argc == 2) return ListWindows();
  if (command == L"procs" && argc == 2) return ListProcesses();
  if (command == L"version" && argc == 2) return PrintVersion();

  if (command == L"run") {
    bool hidden = false, limited = false;
    int first = 2;
    for (; first < argc; ++first) {
      const std::wstring option = argv[first];
      if (option == L"--hidden") hidden = true;
      else if (option == L"--limited") limited = true;
      else break;
    }
    if (first >= argc) return Usage();
    return RunProgram(argc - first, argv + first, hidden, limited);
  }
  if (command == L"hang" && argc == 4) {
    return HangingWindow(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
  }

  HWND hwnd = nullptr;
  if (argc < 3 || !ParseHandle(argv[2], hwnd)) return Usage();
  if (!IsWindow(hwnd)) {
    Fail("no such window");
    return 1;
  }
  if (command == L"click" && argc == 3) {
    return PostMessageW(hwnd, BM_CLICK, 0, 0) ? 0 : 1;
  }
  if (command == L"click" && argc == 4 && std::wcscmp(argv[3], L"--send") == 0) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(hwnd, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result)
               ? 0
               : 1;
  }
  if (command == L"close" && argc == 3) {
    return PostMessageW(hwnd, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (command == L"settext" && argc == 4) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]),
                               SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result) && result
               ? 0
               : 1;
  }
  if (command == L"key" && argc == 4) {
    wchar_t* end = nullptr;
    const unsigned long vk = std::wcstoul(argv[3], &end, 0);
    if (end == argv[3] || *end != L'\0' || vk == 0 || vk > 0xFE) return Usage();
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), 0 /* MAPVK_VK_TO_VSC */);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    return PostMessageW(hwnd, WM_KEYDOWN, vk, down) && PostMessageW(hwnd, WM_KEYUP, vk, up) ? 0
                                                                                           : 1;
  }
  return Usage();
}
