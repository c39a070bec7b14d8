// A library that loads but lacks the "Unzip" export, for the launcher's failure path.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI Unzap(const wchar_t*, const wchar_t*, const char*) {
  return -1;
}
