// Fuzz target: the library's whole extraction (open, directory, names, every entry decoded)
// over an archive held in a Windows-like in-memory file system, laid out as the launcher lays
// out its working directory: "C:\Work\Distro.zip" unpacked into "C:\Work\Setup".
//
// Prompts are answered from a fixed script chosen by the input's size, so that every run can
// be replayed and all answers get exercised:
//   size % 3 == 0  the right password is given; password prompts are cancelled; failures
//                  are ignored
//   size % 3 == 1  a wrong password is given; the first password prompt types the right one,
//                  later ones cancel; each failure is retried once, then ignored
//   size % 3 == 2  the right password is given; password prompts cancel; the first failure
//                  aborts
// A run with more than kMaxFailurePrompts failures aborts there (each further one would only
// repeat the same work).
//
// Beyond the sanitizers, every run checks what the library leaves behind:
//  - no change outside the destination, on a device or in a stream (the file system refuses
//    and records it);
//  - every file and handle closed;
//  - every file in the destination is one the library reported complete, with the size it
//    had then (the file of a failed or skipped entry is removed);
//  - the archive and the file beside it are untouched;
//  - the result is -1 or 0, and 0 only with the failure reported.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "memory_file_system.h"
#include "unzip.h"
#include "zip/name_text.h"

namespace {

constexpr char kPassword[] = "fuzz";
constexpr int kMaxFailurePrompts = 64;
// The calling thread alone: the outcome would be the same with more, but libFuzzer's coverage
// and a replay are steadier without threads that decode ahead.
constexpr unsigned kThreads = 1;

const wchar_t kWorkDir[] = L"C:\\Work";
const wchar_t kArchive[] = L"C:\\Work\\Distro.zip";
const wchar_t kSibling[] = L"C:\\Work\\OrvUnzip.dll";
const wchar_t kSetupDir[] = L"C:\\Work\\Setup";

class ScriptPrompts final : public orv::Prompts {
 public:
  explicit ScriptPrompts(int mode) : mode_(mode) {}

  bool AskPassword(const std::wstring&, std::string& password) override {
    ++passwordPrompts;
    if (mode_ == 1 && passwordPrompts == 1) {
      password = kPassword;
      return true;
    }
    return false;
  }

  orv::FailureAnswer AskOnFailure(const std::wstring& text) override {
    ++failurePrompts;
    if (text.find(L" - Native error: ") == std::wstring::npos) Fail("failure prompt without a native error code");
    if (mode_ == 2 || failurePrompts > kMaxFailurePrompts) return orv::FailureAnswer::kAbort;
    if (mode_ == 1 && !retried_) {
      retried_ = true;
      return orv::FailureAnswer::kRetry;
    }
    retried_ = false;
    return orv::FailureAnswer::kIgnore;
  }

  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "unzip_fuzzer: %s\n", what);
    std::abort();
  }

  int passwordPrompts = 0;
  int failurePrompts = 0;

 private:
  int mode_;
  bool retried_ = false;
};

[[noreturn]] void Fail(const std::string& what) { ScriptPrompts::Fail(what.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string archive(reinterpret_cast<const char*>(data), size);
  const int mode = static_cast<int>(size % 3);

  orv::test::WindowsMemoryFileSystem fs(kWorkDir);
  fs.AddFile(kArchive, archive, 0x21);
  fs.AddFile(kSibling, "MZ library", 0x20);
  fs.Confine(kSetupDir);
  fs.keepBytes = 0;  // sizes are enough here

  ScriptPrompts prompts(mode);
  std::map<std::wstring, std::uint64_t> completed;  // key -> size when reported
  bool failureReported = false;
  orv::UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring& path) {
    // Its data and time are written; a closing thread may still be closing it. That it ends
    // closed and no longer changes is checked after the call.
    const auto* node = fs.Find(path);
    if (node == nullptr || node->directory) Fail("a file reported complete does not exist");
    completed[fs.KeyOf(path)] = node->size;
  };
  observer.failed = [&](const std::wstring&) { failureReported = true; };

  const std::int32_t result =
      orv::UnzipArchive(fs, prompts, kArchive, kSetupDir, mode == 1 ? "wrong" : kPassword, &observer,
                        kThreads);

  if (result != orv::kUnzipCompleted && result != orv::kUnzipFailed) Fail("result neither -1 nor 0");
  if (result == orv::kUnzipFailed && !failureReported) Fail("result 0 without a reported failure");
  if (!fs.violations().empty()) {
    Fail("change outside the destination: " + orv::zip::WideToUtf8(fs.violations().front()));
  }
  if (fs.openInputs() != 0 || fs.openOutputs() != 0) Fail("a file was left open");

  const std::wstring setupKey = fs.KeyOf(kSetupDir) + L"\\";
  for (const auto& [key, node] : fs.nodes()) {
    if (node.directory || key.compare(0, setupKey.size(), setupKey) != 0) continue;
    const auto it = completed.find(key);
    if (it == completed.end()) Fail("a file not reported complete was left: " + orv::zip::WideToUtf8(node.path));
    if (it->second != node.size) Fail("a completed file changed afterwards: " + orv::zip::WideToUtf8(node.path));
  }
  const auto* archiveNode = fs.Find(kArchive);
  const auto* siblingNode = fs.Find(kSibling);
  if (archiveNode == nullptr || archiveNode->data != archive || archiveNode->attributes != 0x21) {
    Fail("the archive was changed");
  }
  if (siblingNode == nullptr || siblingNode->data != "MZ library") Fail("the file beside the archive was changed");
  return 0;
}
