// Path and argument text used for every file the launcher writes and every program it starts.
// Nothing is normalised: the rules look at the last character of the directory only.
#pragma once
#include <string>
#include <string_view>

namespace ot {

// dir + name with exactly the separator rule the launcher relies on: an empty dir gives name,
// an empty name gives dir, a dir ending in '\' or '/' is followed directly by name, otherwise
// one '\' is inserted. The first character of name is never looked at.
std::wstring JoinPath(std::wstring_view dir, std::wstring_view name);

// text between two double quotes; nothing inside is escaped.
std::wstring QuoteText(std::wstring_view text);

// The directory part of an executable's full path, as passed to the setup program: the last
// component and the backslash before it are cut, except that a drive root keeps its backslash
// ("C:\x.exe" -> "C:\").
std::wstring DirectoryOfModulePath(std::wstring_view modulePath);

// A directory argument ready to be quoted: a trailing backslash is doubled so that the
// command-line parser reads the quoted argument back with a single trailing backslash.
std::wstring EscapeTrailingBackslash(std::wstring_view dir);

}  // namespace ot
