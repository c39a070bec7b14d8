// The command line's prompts, asked on the terminal. Without an interactive input (standard
// input is no terminal, or it has ended) nobody can answer: the password prompt counts as
// Cancel and the failure prompt as Abort. The failure text is always written out.
#pragma once
#include <cstdio>

#include "prompts.h"

namespace orv {

class TerminalPrompts final : public Prompts {
 public:
  // in is read only when interactive; the questions and failure texts go to out.
  TerminalPrompts(std::FILE* in, std::FILE* out, bool interactive)
      : in_(in), out_(out), interactive_(interactive) {}

  bool AskPassword(const std::wstring& entryName, std::string& password) override;
  FailureAnswer AskOnFailure(const std::wstring& text) override;

 private:
  // One line without its end of line; false at the end of the input.
  bool ReadLine(std::string& line, bool hideInput);

  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
};

}  // namespace orv
