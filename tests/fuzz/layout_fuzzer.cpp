// Fuzz target: the window-layout reader. Beyond the sanitizers, every run checks that
//  - a refusal carries a message and a line number within the text;
//  - an accepted layout respects the reader's bounds (depth, object count) and every object
//    can be found by its name;
//  - an accepted layout, written back in the canonical form, reads back to the same tree
//    (strings, numbers, identifiers and sets survive quoting and spacing).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/form_layout.h"
#include "zip/name_text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "layout_fuzzer: %s\n", what);
  std::abort();
}

void AppendUtf8(std::string& out, std::wstring_view text) { out += orv::zip::WideToUtf8(text); }

void Write(std::string& out, const ot::LayoutObject& object, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  out += indent + "object ";
  AppendUtf8(out, object.name);
  out += ": ";
  AppendUtf8(out, object.className);
  out += '\n';
  for (const ot::LayoutProperty& property : object.properties) {
    out += indent + "  ";
    AppendUtf8(out, property.name);
    out += " = ";
    const ot::LayoutValue& value = property.value;
    switch (value.kind) {
      case ot::LayoutValue::Kind::Integer: out += std::to_string(value.integer); break;
      case ot::LayoutValue::Kind::Identifier: AppendUtf8(out, value.text); break;
      case ot::LayoutValue::Kind::String: {
        std::string text;
        AppendUtf8(text, value.text);
        out += '\'';
        for (const char c : text) {
          out += c;
          if (c == '\'') out += '\'';
        }
        out += '\'';
        break;
      }
      case ot::LayoutValue::Kind::Set:
        out += '[';
        for (std::size_t i = 0; i < value.items.size(); ++i) {
          if (i > 0) out += ", ";
          AppendUtf8(out, value.items[i]);
        }
        out += ']';
        break;
    }
    out += '\n';
  }
  for (const ot::LayoutObject& child : object.children) Write(out, child, depth + 1);
  out += indent + "end\n";
}

bool SameValue(const ot::LayoutValue& a, const ot::LayoutValue& b) {
  return a.kind == b.kind && a.integer == b.integer && a.text == b.text && a.items == b.items;
}

bool SameTree(const ot::LayoutObject& a, const ot::LayoutObject& b) {
  if (a.name != b.name || a.className != b.className || a.properties.size() != b.properties.size() ||
      a.children.size() != b.children.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.properties.size(); ++i) {
    if (a.properties[i].name != b.properties[i].name || !SameValue(a.properties[i].value, b.properties[i].value)) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!SameTree(a.children[i], b.children[i])) return false;
  }
  return true;
}

void CheckTree(const ot::LayoutObject& root, const ot::LayoutObject& object, int depth, std::size_t& objects) {
  if (depth > ot::kMaxLayoutDepth) Fail("an accepted layout is nested deeper than the limit");
  if (++objects > ot::kMaxLayoutObjects) Fail("an accepted layout has more objects than the limit");
  if (ot::FindLayoutObject(root, object.name) == nullptr) Fail("an object cannot be found by its name");
  for (const ot::LayoutProperty& property : object.properties) {
    // The accessors must agree with the value's kind.
    const ot::LayoutValue* found = object.Find(property.name);
    if (found == nullptr) Fail("a property cannot be found by its name");
    if (found->kind == ot::LayoutValue::Kind::Integer && object.Integer(property.name, 7) != found->integer) {
      Fail("Integer disagrees with the value");
    }
    (void)object.Text(property.name);
    (void)object.Boolean(property.name, false);
    (void)object.HasSetItem(property.name, L"biSystemMenu");
  }
  for (const ot::LayoutObject& child : object.children) CheckTree(root, child, depth + 1, objects);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ot::LayoutError error;
  const std::optional<ot::LayoutObject> layout = ot::ParseLayout(text, error);
  if (!layout) {
    if (error.message.empty()) Fail("a refusal without a message");
    std::size_t lines = 1;
    for (const char c : text) lines += c == '\n';
    if (error.line < 0 || static_cast<std::size_t>(error.line) > lines) Fail("a refusal names a line past the text");
    return 0;
  }
  if (!error.message.empty()) Fail("an accepted layout with an error message");
  std::size_t objects = 0;
  CheckTree(*layout, *layout, 1, objects);

  std::string canonical;
  Write(canonical, *layout, 0);
  if (canonical.size() > ot::kMaxLayoutSize) return 0;  // spacing can make it longer than allowed
  ot::LayoutError again;
  const std::optional<ot::LayoutObject> reread = ot::ParseLayout(canonical, again);
  if (!reread) {
    std::fprintf(stderr, "line %d: %s\n%s", again.line, again.message.c_str(), canonical.c_str());
    Fail("the canonical form of an accepted layout is refused");
  }
  if (!SameTree(*layout, *reread)) Fail("the canonical form reads back differently");
  return 0;
}
