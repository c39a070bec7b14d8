// The whole build step: list and check the payload directory, then write the archive file
// through a temporary file that replaces OUT only when complete.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "archive_writer.h"

namespace ot::mkdistro {

struct BuildOptions {
  std::string password;  // empty: the launcher's archive password
  int level = 9;
  // As WriteOptions::progress, plus the payload's total size and file count.
  std::function<void(std::uint64_t bytesRead, std::uint64_t totalBytes, std::size_t filesDone,
                     std::size_t totalFiles)>
      progress;
};

// The password the launcher hands to the unzipping library.
std::string DefaultArchivePassword();

// Builds outPath from the files under payloadDir. Throws DistroError; after a failure neither
// the temporary file nor a new outPath exists (an older outPath is left as it was).
ArchiveLayout BuildDistroFile(const std::string& payloadDir, const std::string& outPath,
                              const BuildOptions& options);

}  // namespace ot::mkdistro
