// Shared pieces of the two demo programs that stand in for the product's main setup program
// and starter tool. Tests steer them through environment variables, which Wine passes on from
// the Linux side, and read back what they received from a record file.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace ot::demo {

// The variable's value, or an empty text when it is not set.
std::wstring EnvironmentText(const wchar_t* name);
// A variable holding a decimal number of seconds (at most one day); fallback when it is not
// set or not a number.
DWORD EnvironmentSeconds(const wchar_t* name, DWORD fallback);
// True when the variable is set to anything but "" or "0".
bool EnvironmentFlag(const wchar_t* name);

// The process's arguments as CommandLineToArgvW parses them, the program path first.
std::vector<std::wstring> ParsedArguments();

// Writes the record file: the raw command line on the first line, then each parsed argument
// (the program path first), one per line, UTF-8, lines ended by "\n". The file appears
// complete or not at all (written under another name, then moved over the target).
bool WriteRecord(const std::wstring& path);

// A small window with one text and a Close button; ends the message loop when destroyed.
HWND CreateDemoWindow(HINSTANCE instance, const wchar_t* className, const wchar_t* title,
                      const std::wstring& text);
// Destroys the window by itself after that many seconds.
void CloseAfter(HWND window, DWORD seconds);
// Shows the window and runs the message loop until it is destroyed.
void ShowUntilClosed(HWND window, int show);

}  // namespace ot::demo
