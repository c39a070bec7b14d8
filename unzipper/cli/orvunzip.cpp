// orvunzip [--threads N] ARCHIVE DESTDIR [PASSWORD]: the library's extraction on the build
// host, for benchmarks and interoperability tests. Without PASSWORD the launcher's archive
// password is used, so a distribution archive made by mkdistro unpacks as the launcher would
// unpack it. --threads N decodes on N threads ahead of the one that writes (1: the calling
// thread alone, one entry after the other; more than the library's maximum counts as its
// maximum); by default one per processor the process may run on. Prompts are asked on the terminal; exit status 0 when the extraction ran to its end (the
// library's -1), 1 when it failed (0), 2 for a wrong command line.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive_password.h"
#include "cli/terminal_prompts.h"
#include "os/file_system.h"
#include "unzip.h"
#include "zip/name_text.h"

namespace {

// A count of threads, 1 to 999; 0 for anything else.
unsigned ParseThreads(const char* text) {
  unsigned value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || value >= 100) return 0;
    value = value * 10 + static_cast<unsigned>(*c - '0');
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads = 0;  // the library's default
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--threads") == 0) {
    threads = ParseThreads(argv[2]);
    first = 3;
    if (threads == 0) {
      std::fprintf(stderr, "%s: --threads takes a number from 1 on, not \"%s\"\n", argv[0], argv[2]);
      return 2;
    }
  }
  const int positional = argc - first;
  if (positional < 2 || positional > 3) {
    std::fprintf(stderr, "usage: %s [--threads N] ARCHIVE DESTDIR [PASSWORD]\n", argv[0]);
    return 2;
  }
  const std::wstring archive = orv::zip::Utf8ToWide(argv[first]);
  const std::wstring destination = orv::zip::Utf8ToWide(argv[first + 1]);
  const char* password = positional == 3 ? argv[first + 2] : ot::kArchivePassword;

  const auto fileSystem = orv::CreatePlatformFileSystem();
  orv::TerminalPrompts prompts(stdin, stderr, ::isatty(STDIN_FILENO) == 1);
  orv::UnzipObserver observer;
  observer.fileExtracted = [](const std::wstring& path) {
    // The archiver joins with '\'; on this host every '\' in a path is a '/'.
    std::string shown = orv::zip::WideToUtf8(path);
    for (char& c : shown) {
      if (c == '\\') c = '/';
    }
    std::printf("extracted: %s\n", shown.c_str());
  };
  observer.failed = [](const std::wstring& text) {
    std::fprintf(stderr, "error: %s\n", orv::zip::WideToUtf8(text).c_str());
  };
  const std::int32_t result =
      orv::UnzipArchive(*fileSystem, prompts, archive.c_str(), destination.c_str(), password, &observer, threads);
  std::fflush(stdout);
  return result == orv::kUnzipFailed ? 1 : 0;
}
