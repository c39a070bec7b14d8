// Whether anyone can see the process's windows: the launcher's pages and boxes, the library's
// prompts. Deployment agents and services start programs in a window station that is not
// interactive (session 0, or a station of their own): windows there are drawn on desktops no one
// sees, so a page, message box or prompt that waits for an answer would wait for ever.
#pragma once
#include <windows.h>

namespace orv {

// False only when the process's window station reports that it is not visible; when the
// question cannot be asked, the station counts as visible (everything behaves as always).
inline bool WindowStationIsVisible() {
  HWINSTA station = ::GetProcessWindowStation();  // not to be closed
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
    return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace orv
