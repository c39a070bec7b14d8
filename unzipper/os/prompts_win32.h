// The library's two modal prompts: the failure message box (Abort, Retry, Ignore) and the
// password dialog from the library's own resources. Where no one can see them (a window station
// that is not interactive) neither is shown: the password prompt answers Cancel, the failure
// prompt Abort, as closing them would. Such an extraction did not unpack the archive as built,
// and nobody chose to go on without it: the export then reports a failure (AnsweredUnseen).
#pragma once
#include "prompts.h"

namespace orv {

class Win32Prompts final : public Prompts {
 public:
  bool AskPassword(const std::wstring& entryName, std::string& password) override;
  FailureAnswer AskOnFailure(const std::wstring& text) override;

  // Whether a question was answered without being shown.
  bool AnsweredUnseen() const { return answeredUnseen_; }

 private:
  bool answeredUnseen_ = false;
};

}  // namespace orv
