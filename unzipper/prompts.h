// The two questions the archiver may ask while it extracts: a password for an entry whose
// password verifier does not match, and what to do after an entry failed. The library asks
// with modal Win32 dialogs; the host command line asks on the terminal; tests answer from a
// script. The archiver asks only on the thread that called it, one question at a time.
#pragma once
#include <string>

namespace orv {

enum class FailureAnswer { kAbort, kRetry, kIgnore };

class Prompts {
 public:
  virtual ~Prompts() = default;

  // entryName is the entry's stored name. Returns false for Cancel; on OK, password receives
  // the typed text as 8-bit text in the system's ANSI code page (possibly empty).
  virtual bool AskPassword(const std::wstring& entryName, std::string& password) = 0;

  // text is the full failure prompt text. Any way of closing the prompt other than Retry or
  // Ignore is Abort.
  virtual FailureAnswer AskOnFailure(const std::wstring& text) = 0;
};

}  // namespace orv
