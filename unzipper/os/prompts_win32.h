// The library's two modal prompts: the failure message box (Abort, Retry, Ignore) and the
// password dialog from the library's own resources.
#pragma once
#include "prompts.h"

namespace orv {

class Win32Prompts final : public Prompts {
 public:
  bool AskPassword(const std::wstring& entryName, std::string& password) override;
  FailureAnswer AskOnFailure(const std::wstring& text) override;
};

}  // namespace orv
