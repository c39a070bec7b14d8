// The file-system operations the launcher's folder code needs (the removal walk, the sweep of
// earlier runs' folders, the check of its own folder), and no more. Everything goes through
// objects held open: a directory is listed through its handle, an entry is opened relative to
// its directory's handle, and a delete or rename acts on the object the handle names. A path is
// used only to open the temporary directory itself.
//
// Why: the temporary directory is writable by others (the user's own unelevated processes when
// the launcher runs elevated; every user in C:\Windows\Temp). A check by path followed by a use
// by path can be redirected between the two by renaming a folder and putting a link or another
// folder in its place. Through handles, what is checked is what is used.
//
// The Win32 side is win32/folder_system_win32; tests use an in-memory tree.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

// Win32 error codes and attribute bits the folder code looks at.
constexpr std::uint32_t kRemovalOk = 0;
constexpr std::uint32_t kErrorFileMissing = 2;       // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kErrorPathMissing = 3;       // ERROR_PATH_NOT_FOUND
constexpr std::uint32_t kErrorNoAccess = 5;          // ERROR_ACCESS_DENIED
constexpr std::uint32_t kErrorSharingViolation = 32; // ERROR_SHARING_VIOLATION
constexpr std::uint32_t kErrorDirNotEmpty = 145;     // ERROR_DIR_NOT_EMPTY
constexpr std::uint32_t kAttributeReadOnly = 0x1;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;

// "." and "..", which every listing holds and nothing ever acts on.
inline bool IsDotEntry(std::wstring_view name) { return name == L"." || name == L".."; }

// Whether two names are the same to the file system: ASCII letters compared without case, as
// the unzipper compares entry names.
bool SameName(std::wstring_view a, std::wstring_view b);

// One entry as its directory's listing named it.
struct ListedEntry {
  std::wstring name;
  std::uint32_t attributes = 0;
  std::uint64_t fileId = 0;  // on the directory's own volume
};

// What an open object says of itself through its handle.
struct ObjectFacts {
  std::uint32_t attributes = 0;
  std::uint32_t volumeSerial = 0;
  std::uint64_t fileId = 0;
};

// One entry of a DACL, with its SID in text form ("S-1-5-18").
struct AceFacts {
  std::uint8_t type = 0;   // ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1, ...
  std::uint8_t flags = 0;  // OBJECT_INHERIT_ACE 1, CONTAINER_INHERIT_ACE 2, INHERITED_ACE 0x10 ...
  std::uint32_t mask = 0;
  std::wstring sid;        // empty for ACE types that carry none the launcher reads
  bool operator==(const AceFacts& other) const {
    return type == other.type && flags == other.flags && mask == other.mask && sid == other.sid;
  }
};

// The owner and DACL of an object, as read from its handle.
struct FolderSecurity {
  std::wstring owner;      // SID text; empty when there is none
  bool hasDacl = false;    // false also for a NULL DACL, which grants everyone everything
  bool daclProtected = false;
  std::vector<AceFacts> aces;
};

// Whether an object opened after its directory was listed is the one the listing named: on the
// directory's volume, with the listed file ID, a directory exactly when the listing said so, and
// a link exactly when the listing said so. Anything else was swapped after the listing (or the
// system opened a link as its target) and is left alone.
bool IsListedObject(const ListedEntry& listed, const ObjectFacts& opened,
                    std::uint32_t directoryVolumeSerial);

// An object opened by the folder code; destroying it closes its handle.
class OpenObject {
 public:
  virtual ~OpenObject() = default;
};
using Opened = std::unique_ptr<OpenObject>;

class FolderSystem {
 public:
  virtual ~FolderSystem() = default;

  // Opens an existing directory by its full path, following links on the way (the temporary
  // directory may itself be reached through one). Null when it cannot be opened.
  virtual Opened OpenDirectory(const std::wstring& path) = 0;

  // Opens name inside dir for deletion, relative to dir's handle and never through a link: on
  // Windows a link opens as itself. A directory is held without delete sharing (nobody can
  // rename or remove it meanwhile) and may be listed; a file shares everything. Null with the
  // system's error code when it cannot be opened.
  virtual Opened OpenEntry(OpenObject& dir, const std::wstring& name, bool directory,
                           std::uint32_t& error) = 0;

  // The attributes, volume serial number and file ID the object reports through its handle.
  virtual bool ReadFacts(OpenObject& object, ObjectFacts& facts) = 0;

  // Every entry of dir ("." and ".." included), listed through its handle. False when it
  // cannot be listed.
  virtual bool List(OpenObject& dir, std::vector<ListedEntry>& entries) = 0;

  // The object's owner and DACL. False when they cannot be read.
  virtual bool ReadSecurity(OpenObject& object, FolderSecurity& security) = 0;

  // Marks the object for deletion; it goes when its last handle closes. kRemovalOk or the
  // system's error code (a directory that is not empty refuses).
  virtual std::uint32_t Delete(OpenObject& object) = 0;

  // Renames the object to name inside dir, never replacing anything there. kRemovalOk or the
  // system's error code (named apart from the Win32 macro MoveFile).
  virtual std::uint32_t Rename(OpenObject& object, OpenObject& dir, const std::wstring& name) = 0;

  // A millisecond clock (it may wrap) and a pause.
  virtual std::uint32_t TickMs() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
};

}  // namespace ot
