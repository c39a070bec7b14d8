// Text conversions for entry names, host paths and the launcher's layout text: the project's one
// UTF-8 decoder. wchar_t is UTF-16 on Windows and UTF-32 elsewhere; both directions handle either
// width. Malformed input never fails: each bad sequence becomes U+FFFD (a name must still be shown
// in a prompt and refused cleanly); callers that must refuse it ask whether any was met.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace orv::zip {

// One UTF-8 sequence at text[pos] (pos < text.size()): its value and the bytes it takes. A
// malformed one (a stray or missing continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF) is not valid and takes its lead byte and the continuation bytes read before the fault.
struct Utf8Sequence {
  char32_t value = 0;
  std::size_t length = 1;
  bool valid = false;
};
Utf8Sequence DecodeUtf8(std::string_view text, std::size_t pos);

std::wstring Utf8ToWide(std::string_view text);
// The same into out; false when any sequence was malformed (it stands there as U+FFFD).
bool Utf8ToWide(std::string_view text, std::wstring& out);
std::string WideToUtf8(std::wstring_view text);

// Code page 437, the OEM code page of the original PC: the fallback for names that carry no
// UTF-8 flag where the system has no OEM code page of its own.
std::wstring Cp437ToWide(std::string_view text);

// ASCII letters to lower case, everything else as it is: how names are compared where the file
// system ignores case.
inline wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace orv::zip
