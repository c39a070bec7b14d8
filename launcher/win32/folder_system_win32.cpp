#include "win32/folder_system_win32.h"

#include <winternl.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine,
                                               PVOID apcContext, PIO_STATUS_BLOCK ioStatus,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                                               BOOLEAN restartScan);

namespace ot {
namespace {

constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

class Win32Object final : public OpenObject {
 public:
  explicit Win32Object(HANDLE handle) : handle_(handle) {}
  HANDLE Handle() const { return handle_.get(); }

 private:
  UniqueFileHandle handle_;
};

HANDLE HandleOf(OpenObject& object) { return static_cast<Win32Object&>(object).Handle(); }

std::uint32_t ErrorOf(NTSTATUS status) {
  return NT_SUCCESS(status) ? kRemovalOk : static_cast<std::uint32_t>(::RtlNtStatusToDosError(status));
}

// NtCreateFile on name relative to root; the object, or null with the system's error code.
Opened OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG sharing,
                    ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor,
                    std::uint32_t& error) {
  if (name.empty() || name.size() > 32767 / sizeof(wchar_t)) {
    error = ERROR_INVALID_NAME;
    return nullptr;
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, descriptor);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, sharing, disposition,
                                         options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  error = ErrorOf(status);
  if (!NT_SUCCESS(status)) return nullptr;
  return std::make_unique<Win32Object>(handle);
}

// A directory is held without delete sharing and may be listed and have its rights read; a file
// is only ever deleted.
constexpr ACCESS_MASK kDirectoryAccess =
    DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr ACCESS_MASK kFileAccess = DELETE | FILE_READ_ATTRIBUTES;

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!sid || !::ConvertSidToStringSidW(sid, &text)) return std::wstring();
  UniqueLocalMemory owned(text);
  return text;
}

}  // namespace

Opened Win32FolderSystem::OpenDirectory(const std::wstring& path) {
  HANDLE handle = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32Object>(handle);
}

Opened Win32FolderSystem::OpenEntry(OpenObject& dir, const std::wstring& name, bool directory,
                                    std::uint32_t& error) {
  return directory
             ? OpenRelative(HandleOf(dir), name, kDirectoryAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, error)
             : OpenRelative(HandleOf(dir), name, kFileAccess,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, error);
}

Opened Win32FolderSystem::CreateDirectoryIn(OpenObject& dir, const std::wstring& name,
                                            PSECURITY_DESCRIPTOR descriptor, DWORD& error) {
  std::uint32_t code = kRemovalOk;
  Opened made = OpenRelative(HandleOf(dir), name, kDirectoryAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_CREATE, FILE_DIRECTORY_FILE, descriptor, code);
  error = code;
  return made;
}

bool Win32FolderSystem::ReadFacts(OpenObject& object, ObjectFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(HandleOf(object), &info)) return false;
  facts.attributes = info.dwFileAttributes;
  facts.volumeSerial = info.dwVolumeSerialNumber;
  facts.fileId = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool Win32FolderSystem::List(OpenObject& dir, std::vector<ListedEntry>& entries) {
  entries.clear();
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // 8-byte aligned records
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtQueryDirectoryFile(
        HandleOf(dir), nullptr, nullptr, nullptr, &io, buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t)), FileIdBothDirectoryInformation,
        FALSE, nullptr, restart);
    if (status == kStatusNoMoreFiles) return true;
    if (!NT_SUCCESS(status)) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t at = 0;;) {
      const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(bytes + at);
      entries.push_back({std::wstring(record->FileName, record->FileNameLength / sizeof(wchar_t)),
                         record->FileAttributes, static_cast<std::uint64_t>(record->FileId.QuadPart)});
      if (record->NextEntryOffset == 0) break;
      at += record->NextEntryOffset;
    }
  }
}

bool Win32FolderSystem::ReadSecurity(OpenObject& object, FolderSecurity& security) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(HandleOf(object), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  UniqueLocalMemory owned(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor, &control, &revision)) return false;
  security = FolderSecurity{};
  security.owner = SidText(owner);
  security.hasDacl = (control & SE_DACL_PRESENT) && dacl;
  security.daclProtected = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AceFacts facts;
    facts.type = header->AceType;
    facts.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Both records have the same layout: header, mask, SID.
      const auto* simple = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
      facts.mask = simple->Mask;
      facts.sid = SidText(const_cast<DWORD*>(&simple->SidStart));
    }
    security.aces.push_back(std::move(facts));
  }
  return true;
}

std::uint32_t Win32FolderSystem::Delete(OpenObject& object) {
  FILE_DISPOSITION_INFORMATION disposition{};
  disposition.DoDeleteFile = TRUE;
  IO_STATUS_BLOCK io{};
  return ErrorOf(::NtSetInformationFile(HandleOf(object), &io, &disposition, sizeof disposition,
                                        FileDispositionInformation));
}

std::uint32_t Win32FolderSystem::Rename(OpenObject& object, OpenObject& dir, const std::wstring& name) {
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer((sizeof(FILE_RENAME_INFORMATION) + nameBytes) / sizeof(std::uint64_t) + 1);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = HandleOf(dir);
  rename->FileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(rename->FileName, name.data(), nameBytes);
  IO_STATUS_BLOCK io{};
  return ErrorOf(::NtSetInformationFile(HandleOf(object), &io, rename,
                                        static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t)),
                                        FileRenameInformation));
}

std::uint32_t Win32FolderSystem::TickMs() { return ::GetTickCount(); }

void Win32FolderSystem::Sleep(std::uint32_t ms) { ::Sleep(ms); }

}  // namespace ot
