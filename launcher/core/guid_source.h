// Where the launcher's fresh GUIDs come from: the registry marker of the user search and the
// names of the working folders. CoCreateGuid on Windows (win32/registry_win32), fixed values in
// tests.
#pragma once
#include <string>

namespace ot {

class GuidSource {
 public:
  virtual ~GuidSource() = default;
  // A new GUID in registry text form: braces, upper-case hex in groups 8-4-4-4-12.
  virtual bool NewGuidText(std::wstring& text) = 0;
};

}  // namespace ot
