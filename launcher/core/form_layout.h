// Reader of the window layout text carried in the launcher's resources. The format:
//
//   object MainForm: TMainForm          a block per control, nested for children
//     Caption = 'Text with ''quotes'''  strings in single quotes, doubled to escape
//     Left = 10                         whole numbers (optionally negative)
//     Enabled = False                   identifiers (True, False, clBtnFace, FormShow...)
//     BorderIcons = [biSystemMenu]      sets of identifiers
//     Font.Name = 'Tahoma'              dotted property names
//   end
//
// Lines starting with '#' are comments. The text is UTF-8. The reader never trusts its input:
// nesting, sizes and numbers are bounded, and any fault gives an error with its line number.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

struct LayoutValue {
  enum class Kind { Integer, String, Identifier, Set };
  Kind kind = Kind::Integer;
  std::int32_t integer = 0;
  std::wstring text;               // String and Identifier
  std::vector<std::wstring> items; // Set
};

struct LayoutProperty {
  std::wstring name;
  LayoutValue value;
};

struct LayoutObject {
  std::wstring name;
  std::wstring className;
  std::vector<LayoutProperty> properties;
  std::vector<LayoutObject> children;

  const LayoutValue* Find(std::wstring_view property) const;
  std::int32_t Integer(std::wstring_view property, std::int32_t fallback) const;
  std::wstring Text(std::wstring_view property, std::wstring_view fallback = {}) const;  // String or Identifier
  bool Boolean(std::wstring_view property, bool fallback) const;
  bool HasSetItem(std::wstring_view property, std::wstring_view item) const;
};

struct LayoutError {
  int line = 0;
  std::string message;
};

constexpr std::size_t kMaxLayoutSize = 64 * 1024;
constexpr int kMaxLayoutDepth = 8;
constexpr std::size_t kMaxLayoutObjects = 256;

// Parses one top-level object. On failure returns nothing and fills error.
std::optional<LayoutObject> ParseLayout(std::string_view text, LayoutError& error);

// Finds an object by name anywhere in the tree (depth first), or null.
const LayoutObject* FindLayoutObject(const LayoutObject& root, std::wstring_view name);

}  // namespace ot
