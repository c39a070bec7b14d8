// The launcher's registry operations on the real Windows registry.
#pragma once
#include "core/registry.h"
#include "core/user_sid.h"

namespace ot {

class Win32Registry final : public Registry {
 public:
  long Open(RootKey root, std::wstring_view path, std::uint32_t access, KeyHandle& out) override;
  void Close(KeyHandle key) override;
  long QueryValueInfo(KeyHandle key, std::wstring_view name, std::uint32_t& type,
                      std::uint32_t& size) override;
  long QueryValue(KeyHandle key, std::wstring_view name, std::uint32_t& type, void* data,
                  std::uint32_t& size) override;
  long SetStringValue(KeyHandle key, std::wstring_view name, std::wstring_view text) override;
  long DeleteValue(KeyHandle key, std::wstring_view name) override;
  long QueryInfo(KeyHandle key, std::uint32_t& subKeyCount, std::uint32_t& maxSubKeyNameLength) override;
  long EnumKey(KeyHandle key, std::uint32_t index, std::wstring& name) override;
};

// CoCreateGuid + StringFromCLSID: braced, upper-case registry form.
class Win32GuidSource final : public GuidSource {
 public:
  bool NewGuidText(std::wstring& text) override;
};

}  // namespace ot
