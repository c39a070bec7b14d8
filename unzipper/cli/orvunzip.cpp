// orvunzip ARCHIVE DESTDIR [PASSWORD]: the library's extraction on the build host, for
// benchmarks and interoperability tests. Without PASSWORD the launcher's archive password is
// used, so a distribution archive made by mkdistro unpacks as the launcher would unpack it.
// Prompts are asked on the terminal; exit status 0
// when the extraction ran to its end (the library's -1), 1 when it failed (0), 2 for a
// wrong command line.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive_password.h"
#include "cli/terminal_prompts.h"
#include "os/file_system.h"
#include "unzip.h"
#include "zip/name_text.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s ARCHIVE DESTDIR [PASSWORD]\n", argv[0]);
    return 2;
  }
  const std::wstring archive = orv::zip::Utf8ToWide(argv[1]);
  const std::wstring destination = orv::zip::Utf8ToWide(argv[2]);
  const char* password = argc == 4 ? argv[3] : ot::kArchivePassword;

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
      orv::UnzipArchive(*fileSystem, prompts, archive.c_str(), destination.c_str(), password, &observer);
  std::fflush(stdout);
  return result == orv::kUnzipFailed ? 1 : 0;
}
