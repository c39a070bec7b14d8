#include "core/form_layout.h"

#include <cctype>
#include <limits>

#include "zip/name_text.h"

namespace ot {

namespace {

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class Parser {
 public:
  Parser(std::string_view text, LayoutError& error) : text_(text), error_(error) {}

  std::optional<LayoutObject> Run() {
    if (text_.size() > kMaxLayoutSize) return Fail("layout text too large");
    if (text_.size() >= 3 && text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    LayoutObject root;
    if (!NextLine()) return Fail("no object");
    if (!ParseObject(root, 1)) return std::nullopt;
    if (NextLine()) return Fail("text after the last 'end'");
    return root;
  }

 private:
  std::optional<LayoutObject> Fail(const char* message) {
    if (error_.message.empty()) {
      error_.line = line_;
      error_.message = message;
    }
    return std::nullopt;
  }
  bool Error(const char* message) {
    Fail(message);
    return false;
  }

  // Moves to the next line that is neither blank nor a comment; its trimmed text is in line_text_.
  bool NextLine() {
    while (pos_ < text_.size()) {
      const std::size_t end = text_.find('\n', pos_);
      const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
      std::string_view line = text_.substr(pos_, stop - pos_);
      pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      ++line_;
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.remove_suffix(1);
      if (line.empty() || line.front() == '#') continue;
      lineText_ = line;
      return true;
    }
    lineText_ = {};
    return false;
  }

  bool ParseObject(LayoutObject& object, int depth) {
    if (depth > kMaxLayoutDepth) return Error("objects nested too deeply");
    if (++objectCount_ > kMaxLayoutObjects) return Error("too many objects");
    // "object Name: Class"
    std::string_view line = lineText_;
    if (line.substr(0, 7) != "object ") return Error("expected 'object NAME: CLASS'");
    line.remove_prefix(7);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Error("expected ':' after the object name");
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view cls = Trim(line.substr(colon + 1));
    if (!IsIdentifier(name) || !IsIdentifier(cls)) return Error("bad object or class name");
    object.name = Widen(name);
    object.className = Widen(cls);

    for (;;) {
      if (!NextLine()) return Error("missing 'end'");
      if (lineText_ == "end") return true;
      if (lineText_.substr(0, 7) == "object ") {
        object.children.emplace_back();
        if (!ParseObject(object.children.back(), depth + 1)) return false;
        continue;
      }
      LayoutProperty property;
      if (!ParseProperty(property)) return false;
      object.properties.push_back(std::move(property));
    }
  }

  bool ParseProperty(LayoutProperty& property) {
    std::string_view line = lineText_;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return Error("expected 'NAME = VALUE'");
    std::string_view name = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    // Dotted names: every part an identifier.
    if (name.empty()) return Error("empty property name");
    // "object" starts a child block; as a property name it would only read as one when no
    // blank follows it ("object= 1"), so it is no property name at all.
    if (name == "object") return Error("'object' is not a property name");
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = name.find('.', start);
      const std::string_view part = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
      if (!IsIdentifier(part)) return Error("bad property name");
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
    property.name = Widen(name);
    if (value.empty()) return Error("missing value");
    return ParseValue(value, property.value);
  }

  bool ParseValue(std::string_view value, LayoutValue& out) {
    const char first = value.front();
    if (first == '\'') {
      std::string raw;
      std::size_t i = 1;
      for (;;) {
        if (i >= value.size()) return Error("unterminated string");
        if (value[i] == '\'') {
          if (i + 1 < value.size() && value[i + 1] == '\'') {
            raw += '\'';
            i += 2;
            continue;
          }
          break;
        }
        raw += value[i++];
      }
      if (i + 1 != value.size()) return Error("text after a string");
      out.kind = LayoutValue::Kind::String;
      if (!orv::zip::Utf8ToWide(raw, out.text)) return Error("string is not valid UTF-8");
      return true;
    }
    if (first == '[') {
      if (value.back() != ']') return Error("unterminated set");
      out.kind = LayoutValue::Kind::Set;
      std::string_view inner = Trim(value.substr(1, value.size() - 2));
      while (!inner.empty()) {
        const std::size_t comma = inner.find(',');
        const std::string_view item = Trim(inner.substr(0, comma));
        if (!IsIdentifier(item)) return Error("bad set item");
        out.items.push_back(Widen(item));
        if (comma == std::string_view::npos) break;
        inner = inner.substr(comma + 1);
        if (Trim(inner).empty()) return Error("empty set item");
      }
      return true;
    }
    if (first == '-' || std::isdigit(static_cast<unsigned char>(first))) {
      std::size_t i = first == '-' ? 1 : 0;
      if (i >= value.size()) return Error("bad number");
      std::int64_t number = 0;
      for (; i < value.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(value[i]))) return Error("bad number");
        number = number * 10 + (value[i] - '0');
        if (number > std::numeric_limits<std::int32_t>::max()) return Error("number out of range");
      }
      out.kind = LayoutValue::Kind::Integer;
      out.integer = static_cast<std::int32_t>(first == '-' ? -number : number);
      return true;
    }
    if (!IsIdentifier(value)) return Error("bad value");
    out.kind = LayoutValue::Kind::Identifier;
    out.text = Widen(value);
    return true;
  }

  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  }
  static bool IsIdentifier(std::string_view s) {
    if (s.empty() || s.size() > 64 || !IsIdentStart(s.front())) return false;
    for (char c : s)
      if (!IsIdentChar(c)) return false;
    return true;
  }

  std::string_view text_;
  LayoutError& error_;
  std::size_t pos_ = 0;
  int line_ = 0;
  std::string_view lineText_;
  std::size_t objectCount_ = 0;
};

}  // namespace

const LayoutValue* LayoutObject::Find(std::wstring_view property) const {
  for (const LayoutProperty& p : properties)
    if (p.name == property) return &p.value;
  return nullptr;
}

std::int32_t LayoutObject::Integer(std::wstring_view property, std::int32_t fallback) const {
  const LayoutValue* v = Find(property);
  return v && v->kind == LayoutValue::Kind::Integer ? v->integer : fallback;
}

std::wstring LayoutObject::Text(std::wstring_view property, std::wstring_view fallback) const {
  const LayoutValue* v = Find(property);
  if (v && (v->kind == LayoutValue::Kind::String || v->kind == LayoutValue::Kind::Identifier))
    return v->text;
  return std::wstring(fallback);
}

bool LayoutObject::Boolean(std::wstring_view property, bool fallback) const {
  const LayoutValue* v = Find(property);
  if (!v || v->kind != LayoutValue::Kind::Identifier) return fallback;
  if (v->text == L"True") return true;
  if (v->text == L"False") return false;
  return fallback;
}

bool LayoutObject::HasSetItem(std::wstring_view property, std::wstring_view item) const {
  const LayoutValue* v = Find(property);
  if (!v || v->kind != LayoutValue::Kind::Set) return false;
  for (const std::wstring& i : v->items)
    if (i == item) return true;
  return false;
}

std::optional<LayoutObject> ParseLayout(std::string_view text, LayoutError& error) {
  error = LayoutError{};
  return Parser(text, error).Run();
}

const LayoutObject* FindLayoutObject(const LayoutObject& root, std::wstring_view name) {
  if (root.name == name) return &root;
  for (const LayoutObject& child : root.children)
    if (const LayoutObject* found = FindLayoutObject(child, name)) return found;
  return nullptr;
}

}  // namespace ot
