// Small text helpers for messages shown to the user.
#pragma once
#include <string>
#include <string_view>

namespace ot {

// A system error text as FormatMessage gives it, without its trailing spaces, control
// characters (the CR LF it ends with) and full stops.
std::wstring TrimSystemMessage(std::wstring_view text);

// printf-style "%s" / "%d" filling for the launcher's fixed message patterns: each
// placeholder is replaced by the next argument, in order.
std::wstring FormatText(std::wstring_view pattern, std::initializer_list<std::wstring_view> args);

}  // namespace ot
