// Shared pieces of the unzipper tests: a scratch directory, prompts answered from a script,
// and a file system wrapper that injects faults and records how much was written.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <atomic>
#include <deque>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/file_system.h"
#include "prompts.h"

namespace orv::test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content);
std::string ReadFile(const fs::path& path);
// Every regular file below root, as relative paths with '/'.
std::vector<std::string> ListFiles(const fs::path& root);
std::wstring Wide(const fs::path& path);

class ScriptedPrompts final : public Prompts {
 public:
  // Answers used in order; when a script runs out, passwords are cancelled and failures
  // aborted.
  std::deque<std::optional<std::string>> passwords;  // nullopt: Cancel
  std::deque<FailureAnswer> failures;

  std::vector<std::wstring> passwordAskedFor;
  std::vector<std::wstring> failureTexts;

  bool AskPassword(const std::wstring& entryName, std::string& password) override;
  FailureAnswer AskOnFailure(const std::wstring& text) override;
};

// Passes every call to the platform file system (or another one), except that
//  - writes fail once a file has received failWritesAfter bytes (a full disk),
//  - reads fail once failReadsAfter bytes have been read from the archive, and those for which
//    readFault, when set, says so (it is called from any thread, before the read),
//  - outputFault, when set, may delay a creation or a close or make it fail (after the real close, as a
//    network drive reports late write errors) and may fail a file's writes,
// and it remembers the largest number of bytes any single file received. The archiver calls
// it from several threads: the settings are made before the extraction, the counters are
// atomic, closeFault must be safe to call from any thread.
class FaultyFileSystem final : public FileSystem {
 public:
  struct OutputFault {
    std::uint32_t createDelayMicroseconds = 0;  // before the file is handed out
    std::uint32_t closeDelayMicroseconds = 0;
    bool failClose = false;
    bool failWrite = false;
    bool throwOnWrite = false;  // std::bad_alloc, as an allocation inside the system would
  };

  // Over the platform's file system, or over another one (not owned), such as the in-memory one.
  FaultyFileSystem();
  explicit FaultyFileSystem(FileSystem& underlying);

  std::uint64_t failWritesAfter = UINT64_MAX;
  std::uint64_t failReadsAfter = UINT64_MAX;
  std::function<bool(std::size_t size)> readFault;
  // Asked once per file created, with its path: what goes wrong with it.
  std::function<OutputFault(const std::wstring& path)> outputFault;
  std::atomic<std::uint64_t> largestWrite{0};  // bytes written to one file, the most of any file
  std::atomic<std::uint64_t> bytesRead{0};
  std::atomic<int> openOutputs{0};

  std::unique_ptr<InputFile> OpenForReading(const std::wstring& path) override;
  std::unique_ptr<OutputFile> CreateForWriting(const std::wstring& path) override;
  std::uint32_t GetAttributes(const std::wstring& path) override { return real_->GetAttributes(path); }
  bool SetAttributes(const std::wstring& path, std::uint32_t a) override { return real_->SetAttributes(path, a); }
  bool RemoveFile(const std::wstring& path) override { return real_->RemoveFile(path); }
  bool MakeDirectory(const std::wstring& path) override { return real_->MakeDirectory(path); }
  bool RemoveEmptyDirectory(const std::wstring& path) override { return real_->RemoveEmptyDirectory(path); }
  bool IsRemovableDrive(const std::wstring& path) override { return real_->IsRemovableDrive(path); }
  std::wstring CurrentDirectory() override { return real_->CurrentDirectory(); }
  std::wstring NarrowToWide(std::string_view text, NarrowCodePage page) override {
    return real_->NarrowToWide(text, page);
  }

 private:
  std::unique_ptr<FileSystem> owned_;
  FileSystem* real_;
};

}  // namespace orv::test
