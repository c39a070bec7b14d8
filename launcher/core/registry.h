// The registry operations the launcher needs, and no more. The Win32 adapter forwards each to
// the advapi32 call of the same purpose; tests supply a simulated registry of several hives.
// Keys are only ever opened, never created. Results are Win32 error codes (0 = success).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace ot {

enum class RootKey { LocalMachine, CurrentUser, Users };

using KeyHandle = std::uintptr_t;

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegDwordBigEndian = 5;
constexpr std::uint32_t kRegQword = 11;

constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyReadEnumerate = 0x20009;  // STANDARD_RIGHTS_READ | query | enumerate
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;

class Registry {
 public:
  virtual ~Registry() = default;
  // An empty path opens the root itself.
  virtual long Open(RootKey root, std::wstring_view path, std::uint32_t access, KeyHandle& out) = 0;
  virtual void Close(KeyHandle key) = 0;
  // Like RegQueryValueExW with a null buffer: type and size of the value's data.
  virtual long QueryValueInfo(KeyHandle key, std::wstring_view name, std::uint32_t& type,
                              std::uint32_t& size) = 0;
  // Like RegQueryValueExW with a buffer of size bytes; size becomes the length of the data.
  virtual long QueryValue(KeyHandle key, std::wstring_view name, std::uint32_t& type, void* data,
                          std::uint32_t& size) = 0;
  // A REG_SZ value holding text and its terminating NUL.
  virtual long SetStringValue(KeyHandle key, std::wstring_view name, std::wstring_view text) = 0;
  virtual long DeleteValue(KeyHandle key, std::wstring_view name) = 0;
  virtual long QueryInfo(KeyHandle key, std::uint32_t& subKeyCount,
                         std::uint32_t& maxSubKeyNameLength) = 0;
  virtual long EnumKey(KeyHandle key, std::uint32_t index, std::wstring& name) = 0;
};

// Owns one open key of a Registry; closes it when it goes.
class ScopedKey {
 public:
  explicit ScopedKey(Registry& registry) : registry_(registry) {}
  ~ScopedKey() { Reset(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  long Open(RootKey root, std::wstring_view path, std::uint32_t access) {
    Reset();
    KeyHandle key = 0;
    const long status = registry_.Open(root, path, access, key);
    if (status == kErrorSuccess) {
      key_ = key;
      open_ = true;
    }
    return status;
  }
  void Reset() {
    if (open_) registry_.Close(key_);
    open_ = false;
    key_ = 0;
  }
  bool IsOpen() const { return open_; }
  KeyHandle Get() const { return key_; }

 private:
  Registry& registry_;
  KeyHandle key_ = 0;
  bool open_ = false;
};

}  // namespace ot
