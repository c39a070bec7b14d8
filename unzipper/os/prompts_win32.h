// The library's two modal prompts: the failure message box (Abort, Retry, Ignore) and the
// password dialog from the library's own resources. Where no one can see them (a window station
// that is not interactive) neither is shown: the password prompt answers Cancel, the failure
// prompt Abort, as closing them would.
#pragma once
#include "prompts.h"

namespace orv {

class Win32Prompts final : public Prompts {
 public:
  bool AskPassword(const std::wstring& entryName, std::string& password) override;
  FailureAnswer AskOnFailure(const std::wstring& text) override;
};

}  // namespace orv
