// Text conversions for entry names and host paths. wchar_t is UTF-16 on Windows and UTF-32
// elsewhere; both directions handle either width. Malformed input never fails: each bad
// sequence becomes U+FFFD (a name must still be shown in a prompt and refused cleanly).
#pragma once
#include <string>
#include <string_view>

namespace orv::zip {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Code page 437, the OEM code page of the original PC: the fallback for names that carry no
// UTF-8 flag where the system has no OEM code page of its own.
std::wstring Cp437ToWide(std::string_view text);

// ASCII letters to lower case, everything else as it is: how names are compared where the file
// system ignores case.
inline wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace orv::zip
