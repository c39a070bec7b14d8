// Fuzz target: the archive builder's verification (mkdistro --verify --decrypt) over the
// input's bytes, held in an anonymous in-memory file that the checker opens by path.
//
// Beyond the sanitizers, every run checks that
//  - the report is consistent: ok exactly when nothing is listed, and ok only when every
//    partial verdict holds; the list of problems stays bounded;
//  - what the verification accepts, the library unpacks: every entry complete, no prompt,
//    result -1 (the builder's check must never pass an archive that the launcher would fail
//    to unpack).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive_check.h"
#include "memory_file_system.h"
#include "prompts.h"
#include "unzip.h"

namespace {

constexpr char kPassword[] = "fuzz";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "verify_fuzzer: %s\n", what);
  std::abort();
}

class CountingPrompts final : public orv::Prompts {
 public:
  bool AskPassword(const std::wstring&, std::string&) override {
    ++asked;
    return false;
  }
  orv::FailureAnswer AskOnFailure(const std::wstring&) override {
    ++asked;
    return orv::FailureAnswer::kAbort;
  }
  int asked = 0;
};

// One memory file for the whole fuzzing process, rewritten for every input.
int MemoryFile() {
  static const int fd = [] {
    const int made = memfd_create("verify_fuzzer", 0);
    if (made < 0) Fail("memfd_create failed");
    return made;
  }();
  return fd;
}

void CheckLibraryUnpacks(const std::uint8_t* data, std::size_t size, std::uint32_t entries) {
  orv::test::WindowsMemoryFileSystem fs(L"C:\\Work");
  fs.AddFile(L"C:\\Work\\Distro.zip", std::string(reinterpret_cast<const char*>(data), size));
  fs.Confine(L"C:\\Work\\Setup");
  fs.keepBytes = 0;
  CountingPrompts prompts;
  std::uint32_t completed = 0;
  orv::UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring&) { ++completed; };
  const std::int32_t result =
      orv::UnzipArchive(fs, prompts, L"C:\\Work\\Distro.zip", L"C:\\Work\\Setup", kPassword, &observer);
  if (result != orv::kUnzipCompleted) Fail("a verified archive fails to open or unpack");
  if (prompts.asked != 0) Fail("a verified archive makes the library prompt");
  if (completed != entries) Fail("a verified archive unpacks fewer entries than it holds");
  if (!fs.violations().empty()) Fail("a verified archive writes outside the destination");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = MemoryFile();
  if (ftruncate(fd, 0) != 0) Fail("ftruncate failed");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) Fail("pwrite failed");
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  ot::mkdistro::VerifyOptions options;
  options.decrypt = true;
  options.password = kPassword;
  const ot::mkdistro::VerifyReport report = ot::mkdistro::VerifyArchive(path, options);

  if (report.fileSize != size) Fail("the report has the wrong file size");
  if (report.ok != report.problems.empty()) Fail("ok disagrees with the list of problems");
  if (report.problems.size() > 26) Fail("the list of problems is unbounded");
  if (report.ok && !(report.endRecordFound && report.centralDirReadable && report.tiles && report.headersMatch &&
                     report.valuesAsExpected && report.decrypted)) {
    Fail("ok although a partial verdict failed");
  }
  if (report.ok) CheckLibraryUnpacks(data, size, report.entries);
  return 0;
}
