#include "cli/terminal_prompts.h"

#include <termios.h>
#include <unistd.h>

#include "crypto/wipe.h"
#include "zip/name_text.h"

namespace orv {

bool TerminalPrompts::ReadLine(std::string& line, bool hideInput) {
  line.clear();
  if (!interactive_) return false;
  const int fd = ::fileno(in_);
  termios saved {};
  const bool hidden = hideInput && ::tcgetattr(fd, &saved) == 0;
  if (hidden) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  bool gotLine = false;
  for (int c; (c = std::fgetc(in_)) != EOF;) {
    gotLine = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (hidden) {
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    std::fputc('\n', out_);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!gotLine) interactive_ = false;  // the input has ended: nobody is left to answer
  return gotLine;
}

bool TerminalPrompts::AskPassword(const std::wstring& entryName, std::string& password) {
  std::fprintf(out_, "Password for \"%s\": ", zip::WideToUtf8(entryName).c_str());
  std::fflush(out_);
  std::string line;
  const bool answered = ReadLine(line, true);
  if (!answered) std::fprintf(out_, "(no answer: cancelled)\n");
  password.assign(line);
  crypto::SecureWipe(line.data(), line.size());
  return answered;
}

FailureAnswer TerminalPrompts::AskOnFailure(const std::wstring& text) {
  std::fprintf(out_, "%s\n", zip::WideToUtf8(text).c_str());
  for (;;) {
    std::fprintf(out_, "[A]bort, [R]etry, [I]gnore? ");
    std::fflush(out_);
    std::string line;
    if (!ReadLine(line, false)) {
      std::fprintf(out_, "(no answer: abort)\n");
      return FailureAnswer::kAbort;
    }
    const char first = line.empty() ? '\0' : line[0];
    if (first == 'a' || first == 'A') return FailureAnswer::kAbort;
    if (first == 'r' || first == 'R') return FailureAnswer::kRetry;
    if (first == 'i' || first == 'I') return FailureAnswer::kIgnore;
  }
}

}  // namespace orv
