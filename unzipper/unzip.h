// One unzip call: an archiver made for the call, configured, the archive opened and every
// entry extracted, the outcome mapped to -1 (processing reached its end, including after
// Abort or skipped entries) or 0 (the archive could not be opened, or a fatal error).
// The DLL's export and the host command line both run exactly this.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "os/file_system.h"
#include "prompts.h"

namespace orv {

constexpr std::int32_t kUnzipCompleted = -1;
constexpr std::int32_t kUnzipFailed = 0;

struct UnzipObserver {
  // Full path of each file written completely (its data and time), in archive order, on the
  // calling thread; a closing thread may still be closing it and setting its attributes.
  std::function<void(const std::wstring&)> fileExtracted;
  // The text of the error that made the result 0.
  std::function<void(const std::wstring&)> failed;
};

// Null pointers are empty texts. The password's bytes are used as given. threads is the
// archiver's Threads: 0 one decoding thread per processor (at most Archiver::kMaxThreads), 1
// the calling thread alone (the fuzz target uses it), N more: N decoding threads ahead of it.
// Whatever the number, the outcome is that of one thread. Never throws.
std::int32_t UnzipArchive(FileSystem& fileSystem, Prompts& prompts, const wchar_t* archivePath,
                          const wchar_t* destination, const char* password,
                          const UnzipObserver* observer = nullptr, unsigned threads = 0) noexcept;

}  // namespace orv
