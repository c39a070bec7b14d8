// Running the library on hostile archives and checking what it leaves behind. The archive is
// laid out as the launcher lays it out ("C:\Work\Distro.zip" unpacked into "C:\Work\Setup")
// in a Windows-like in-memory file system, so that Windows' path rules apply on this host.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "memory_file_system.h"
#include "prompts.h"
#include "test_zip_writer.h"

namespace orv::test {

inline constexpr char kRightPassword[] = "right";
inline const std::wstring kSetupDir = L"C:\\Work\\Setup";

struct Outcome {
  std::int32_t result = 0;
  std::vector<std::wstring> failureTexts;   // failure prompts, in order
  std::vector<std::wstring> passwordAsked;  // entry names of password prompts
  // Files under the destination: path relative to it as first spelt, and content.
  std::map<std::wstring, std::string> files;
  std::uint64_t bytesWritten = 0;
  std::size_t violations = 0;
};

struct HostileRun {
  FailureAnswer answer = FailureAnswer::kIgnore;  // to every failure prompt
  const char* password = kRightPassword;
  std::uint64_t freeSpace = UINT64_MAX;
};

// Unzips zip and checks, as failures of the current test, the invariants every run must keep:
// no change outside the destination, on a device or in a stream; every file and handle closed;
// only files the library reported complete left in the destination; the archive and the files
// beside it untouched; at most 100 failure prompts (an endless Retry loop would show here).
// fileSystem, when given, receives the state afterwards.
Outcome UnzipHostile(const std::string& zip, const HostileRun& run = {},
                     WindowsMemoryFileSystem* fileSystem = nullptr);

// An AES-128 entry under the right password.
TestEntry Aes(std::string name, std::string data);

// The error text of a failure prompt for an archiver error.
std::wstring Prompt(int code, std::wstring_view argument = {});

}  // namespace orv::test
