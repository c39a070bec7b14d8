// Checks DeleteDirectory on real directory trees, under Wine or on Windows.
//
// Every case builds its tree below a private directory in the temporary directory, runs
// DeleteDirectory and looks at what is left. Links: the program tries to make a directory
// symbolic link (CreateSymbolicLinkW, looked up at run time) and a junction
// (FSCTL_SET_REPARSE_POINT); for each kind that this system can make, the link must go and its
// target outside the tree must stay untouched. A kind the system cannot make is reported and
// not counted as a failure.
//
//   deletedir_test.exe                       all cases; exit 0 when every check passed
//   deletedir_test.exe --delete DIR          only DeleteDirectory(DIR), for trees prepared by
//                                            the Linux side (Linux symbolic links)
//   deletedir_test.exe --attributes PATH     prints GetFileAttributesW(PATH) in hexadecimal
#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/path_text.h"
#include "win32/delete_directory.h"
#include "win32/unique_handle.h"

namespace {

int g_failures = 0;

#define CHECK(cond)                                                           \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                           \
    }                                                                         \
  } while (0)

using ot::JoinPath;

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDir(const std::wstring& path, DWORD attributes = 0) {
  if (!CreateDirectoryW(path.c_str(), nullptr)) {
    std::fprintf(stderr, "cannot create directory %s (error %lu)\n", Narrow(path).c_str(),
                 GetLastError());
    ++g_failures;
  }
  if (attributes) SetFileAttributesW(path.c_str(), attributes);
}

void MakeFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  ot::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        attributes, nullptr));
  if (!file) {
    std::fprintf(stderr, "cannot create file %s (error %lu)\n", Narrow(path).c_str(),
                 GetLastError());
    ++g_failures;
    return;
  }
  DWORD written = 0;
  WriteFile(file.get(), "content\r\n", 9, &written, nullptr);
}

// A fresh directory of its own for each case, below the run's base directory.
class Sandbox {
 public:
  Sandbox() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    base_ = JoinPath(temp, L"otdeldir-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(GetTickCount()));
    MakeDir(base_);
  }
  ~Sandbox() {
    // Leave nothing behind, whatever the case did to its tree (read-only files included).
    ClearAttributes(base_);
    ot::DeleteDirectory(base_);
  }
  std::wstring Case(const wchar_t* name) {
    const std::wstring dir = JoinPath(base_, name);
    MakeDir(dir);
    return dir;
  }
  const std::wstring& Base() const { return base_; }

 private:
  static void ClearAttributes(const std::wstring& dir) {
    WIN32_FIND_DATAW entry;
    ot::UniqueFindHandle search(FindFirstFileW(JoinPath(dir, L"*").c_str(), &entry));
    if (!search) return;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = JoinPath(dir, name);
      SetFileAttributesW(path.c_str(), entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY
                                           ? FILE_ATTRIBUTE_DIRECTORY
                                           : FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ClearAttributes(path);
      }
    } while (FindNextFileW(search.get(), &entry));
  }
  std::wstring base_;
};

void MissingPathIsLeftAlone(Sandbox& box) {
  const std::wstring dir = box.Case(L"missing");
  MakeFile(JoinPath(dir, L"neighbour.txt"));
  const std::wstring missing = JoinPath(dir, L"not-there");
  ot::DeleteDirectory(missing);
  CHECK(!Exists(missing));
  CHECK(Exists(JoinPath(dir, L"neighbour.txt")));
  ot::DeleteDirectory(JoinPath(missing, L"deeper\\still"));
  CHECK(Exists(dir));

  // A file is not a directory: it stays.
  const std::wstring file = JoinPath(dir, L"plain.txt");
  MakeFile(file);
  ot::DeleteDirectory(file);
  CHECK(Exists(file));
}

void EmptyDirectoryIsRemoved(Sandbox& box) {
  const std::wstring dir = box.Case(L"empty");
  ot::DeleteDirectory(dir);
  CHECK(!Exists(dir));

  // The same with a trailing separator on the path.
  const std::wstring slashed = box.Case(L"empty-slashed");
  MakeFile(JoinPath(slashed, L"one.txt"));
  ot::DeleteDirectory(slashed + L"\\");
  CHECK(!Exists(slashed));
}

void WholeTreeIsRemoved(Sandbox& box) {
  const std::wstring root = box.Case(L"tree");
  MakeFile(JoinPath(root, L"hidden.txt"), FILE_ATTRIBUTE_HIDDEN);
  MakeFile(JoinPath(root, L"system.sys"), FILE_ATTRIBUTE_SYSTEM);
  MakeFile(JoinPath(root, L"both"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFile(JoinPath(root, L"archived.dat"), FILE_ATTRIBUTE_ARCHIVE);
  MakeDir(JoinPath(root, L"a"));
  MakeDir(JoinPath(root, L"a\\b"));
  MakeDir(JoinPath(root, L"a\\b\\c"));
  MakeFile(JoinPath(root, L"a\\b\\c\\deep.txt"));
  MakeFile(JoinPath(root, L"a\\b\\mid.txt"), FILE_ATTRIBUTE_HIDDEN);
  MakeDir(JoinPath(root, L".cfg"));
  MakeFile(JoinPath(root, L".cfg\\settings.ini"));
  MakeDir(JoinPath(root, L".cfg\\.inner"));
  MakeFile(JoinPath(root, L".cfg\\.inner\\.x"));
  MakeDir(JoinPath(root, L"..cfg"));
  MakeFile(JoinPath(root, L"..cfg\\y"));
  MakeDir(JoinPath(root, L"hiddendir"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFile(JoinPath(root, L"hiddendir\\z.bin"), FILE_ATTRIBUTE_SYSTEM);
  MakeDir(JoinPath(root, L"many"));
  for (int i = 0; i < 300; ++i) {
    MakeFile(JoinPath(root, L"many\\file-" + std::to_wstring(i) + L".txt"));
  }
  MakeDir(JoinPath(root, L"empty"));
  MakeDir(JoinPath(root, L"name with spaces"));
  MakeFile(JoinPath(root, L"name with spaces\\\x00e9t\x00e9 \x4e2d.txt"));

  ot::DeleteDirectory(root);
  CHECK(!Exists(root));
  CHECK(Exists(box.Base()));
}

void ReadOnlyFileKeepsItsBranch(Sandbox& box) {
  const std::wstring root = box.Case(L"readonly");
  MakeDir(JoinPath(root, L"a"));
  MakeDir(JoinPath(root, L"a\\b"));
  MakeFile(JoinPath(root, L"a\\b\\locked.txt"), FILE_ATTRIBUTE_READONLY);
  MakeFile(JoinPath(root, L"a\\b\\loose.txt"));
  MakeFile(JoinPath(root, L"a\\beside.txt"));
  MakeDir(JoinPath(root, L"a\\c"));
  MakeFile(JoinPath(root, L"a\\c\\x.txt"));
  MakeDir(JoinPath(root, L"d"));
  MakeFile(JoinPath(root, L"d\\y.txt"));
  MakeFile(JoinPath(root, L"top.txt"), FILE_ATTRIBUTE_HIDDEN);

  ot::DeleteDirectory(root);
  CHECK(Exists(JoinPath(root, L"a\\b\\locked.txt")));
  CHECK(GetFileAttributesW(JoinPath(root, L"a\\b\\locked.txt").c_str()) &
        FILE_ATTRIBUTE_READONLY);
  CHECK(Exists(JoinPath(root, L"a\\b")));
  CHECK(Exists(JoinPath(root, L"a")));
  CHECK(Exists(root));
  CHECK(!Exists(JoinPath(root, L"a\\b\\loose.txt")));
  CHECK(!Exists(JoinPath(root, L"a\\beside.txt")));
  CHECK(!Exists(JoinPath(root, L"a\\c")));
  CHECK(!Exists(JoinPath(root, L"d")));
  CHECK(!Exists(JoinPath(root, L"top.txt")));
}

// ---- links ----

using CreateSymbolicLinkWFn = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);

std::string MakeSymbolicLink(const std::wstring& link, const std::wstring& target) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto create = reinterpret_cast<CreateSymbolicLinkWFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "CreateSymbolicLinkW")));
  if (!create) return "CreateSymbolicLinkW is not exported";
  if (!create(link.c_str(), target.c_str(), 0x1 /* SYMBOLIC_LINK_FLAG_DIRECTORY */)) {
    return "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError());
  }
  return {};
}

// The mount-point form of REPARSE_DATA_BUFFER (which mingw's headers do not declare):
// tag, data length, reserved, then substitute and print names in one path buffer.
std::string MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) {
    return "cannot create the junction's directory, error " + std::to_string(GetLastError());
  }
  ot::UniqueFileHandle dir(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!dir) {
    RemoveDirectoryW(link.c_str());
    return "cannot open the junction's directory, error " + std::to_string(GetLastError());
  }
  const std::wstring substitute = L"\\??\\" + target;
  const std::size_t subBytes = substitute.size() * sizeof(wchar_t);
  const std::size_t printBytes = target.size() * sizeof(wchar_t);
  const std::size_t pathBytes = subBytes + sizeof(wchar_t) + printBytes + sizeof(wchar_t);
  const std::size_t dataLength = 8 + pathBytes;  // four WORD offsets/lengths + paths
  std::vector<unsigned char> buffer(8 + dataLength, 0);
  auto put16 = [&](std::size_t at, std::size_t value) {
    buffer[at] = static_cast<unsigned char>(value & 0xFF);
    buffer[at + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, dataLength);
  put16(8, 0);                                 // substitute name offset
  put16(10, subBytes);                         // substitute name length
  put16(12, subBytes + sizeof(wchar_t));       // print name offset
  put16(14, printBytes);                       // print name length
  std::memcpy(&buffer[16], substitute.data(), subBytes);
  std::memcpy(&buffer[16 + subBytes + sizeof(wchar_t)], target.data(), printBytes);
  DWORD returned = 0;
  if (!DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                       static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    const DWORD error = GetLastError();
    dir.reset();
    RemoveDirectoryW(link.c_str());
    return "FSCTL_SET_REPARSE_POINT failed with error " + std::to_string(error);
  }
  return {};
}

// Returns whether the link could be made (and so the case was checked).
bool LinkTargetSurvives(Sandbox& box, const wchar_t* name,
                        std::string (*make)(const std::wstring&, const std::wstring&)) {
  const std::wstring caseDir = box.Case(name);
  const std::wstring outside = JoinPath(caseDir, L"outside");
  MakeDir(outside);
  MakeFile(JoinPath(outside, L"precious.txt"));
  MakeDir(JoinPath(outside, L"sub"));
  MakeFile(JoinPath(outside, L"sub\\also.txt"));
  const std::wstring root = JoinPath(caseDir, L"tree");
  MakeDir(root);
  MakeFile(JoinPath(root, L"mine.txt"));
  const std::wstring link = JoinPath(root, L"link");

  const std::string problem = make(link, outside);
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (!problem.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    std::printf("%s: cannot be made here (%s; attributes 0x%lx)\n", Narrow(name).c_str(),
                problem.empty() ? "call reported success" : problem.c_str(), attributes);
    RemoveDirectoryW(link.c_str());
    return false;
  }
  // Seen through the link, the target's files are there.
  CHECK(Exists(JoinPath(link, L"precious.txt")));

  ot::DeleteDirectory(root);
  CHECK(!Exists(link));
  CHECK(!Exists(root));
  CHECK(Exists(JoinPath(outside, L"precious.txt")));
  CHECK(Exists(JoinPath(outside, L"sub\\also.txt")));

  // A link handed in as the path itself is unlinked, not emptied.
  MakeDir(root);
  const std::string again = make(link, outside);
  CHECK(again.empty());
  ot::DeleteDirectory(link);
  CHECK(!Exists(link));
  CHECK(Exists(JoinPath(outside, L"precious.txt")));
  std::printf("%s: made, removed as a link, target intact\n", Narrow(name).c_str());
  return true;
}

int RunAll() {
  std::wstring base;
  {
    Sandbox box;
    base = box.Base();
    MissingPathIsLeftAlone(box);
    EmptyDirectoryIsRemoved(box);
    WholeTreeIsRemoved(box);
    ReadOnlyFileKeepsItsBranch(box);
    LinkTargetSurvives(box, L"symlink", MakeSymbolicLink);
    LinkTargetSurvives(box, L"junction", MakeJunction);
  }
  CHECK(!Exists(base));  // the sandbox's own clean-up, read-only leftovers included
  if (g_failures) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
  return g_failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--delete") == 0) {
    ot::DeleteDirectory(argv[2]);
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"--attributes") == 0) {
    std::printf("0x%lx\n", GetFileAttributesW(argv[2]));
    return 0;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: deletedir_test [--delete DIR | --attributes PATH]\n");
    return 2;
  }
  return RunAll();
}
