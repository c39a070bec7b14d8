// Entry names are relative paths under the destination. A name that could resolve outside it,
// or into a device instead of a file, is refused before anything is created for it.
#pragma once
#include <string_view>

namespace orv::zip {

// workingName uses '\' between components (the archiver has already turned every '/' into
// '\'); '/' is still treated as a separator here for safety. A name is refused when it
//  - is empty,
//  - starts with '\' (a rooted path, a UNC path or "\\?\"),
//  - contains ':' anywhere (a drive letter or an alternate data stream),
//  - has a component made only of dots and blanks with at least two dots ("..", "...", ". ."),
//    which Windows trims to "..",
//  - has a component naming a DOS device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with the
//    superscript digits 1-3, with or without an extension), which Windows opens instead of a
//    file in the destination,
//  - contains a control character (below U+0020).
bool IsSafeEntryName(std::wstring_view workingName);

}  // namespace orv::zip
