// The whole build step: list and check the payload directory, then write the archive file
// through a temporary file that replaces OUT only when complete.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "archive_writer.h"

namespace ot::mkdistro {

struct BuildOptions {
  std::string password;  // empty: the launcher's archive password
  int level = kDefaultLevel;
  unsigned threads = 0;  // 0: one per processor
  // The latest time an entry may carry (SOURCE_DATE_EPOCH): later files get this time, and
  // every time is written in UTC, so that the archive does not depend on when the payload was
  // copied or on the build machine's zone. Absent: the files' own times, in the local zone.
  std::optional<std::int64_t> latestTime;
  // Accept entries whose paths would be too long to unpack under a user's temporary folder
  // (see CheckUnpackedPathLength): for a product whose programs opt into long paths.
  bool allowLongPaths = false;
  // As WriteOptions::progress, plus the payload's total size and file count.
  std::function<void(std::uint64_t bytesDone, std::uint64_t totalBytes, std::size_t filesDone,
                     std::size_t totalFiles, const std::string& current)>
      progress;
};

// The value of SOURCE_DATE_EPOCH: absent when text is null or empty; a decimal count of
// seconds since 1970 otherwise. Throws DistroError for anything else.
std::optional<std::int64_t> ParseSourceDateEpoch(const char* text);

// The password the launcher hands to the unzipping library.
std::string DefaultArchivePassword();

// Builds outPath from the files under payloadDir. Throws DistroError; after a failure neither
// the temporary file nor a new outPath exists (an older outPath is left as it was).
ArchiveLayout BuildDistroFile(const std::string& payloadDir, const std::string& outPath,
                              const BuildOptions& options);

}  // namespace ot::mkdistro
