#include "distro_build.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "archive_password.h"
#include "distro_error.h"
#include "output_file.h"
#include "payload_scan.h"

namespace ot::mkdistro {
namespace {

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// An archive written inside the payload directory would be packed into the next build.
void RefuseOutputInsidePayload(const std::string& payloadDir, const std::string& outPath) {
  const std::size_t slash = outPath.rfind('/');
  const std::string outDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : outPath.substr(0, slash));
  const std::string payload = RealPath(payloadDir);
  const std::string out = RealPath(outDir);
  if (payload.empty() || out.empty()) return;  // reported by the scan or by creating the file
  if (out == payload || out.compare(0, payload.size() + 1, payload + "/") == 0 || payload == "/") {
    throw DistroError("the archive \"" + outPath + "\" would lie inside the payload directory \"" +
                      payloadDir + "\"; write it somewhere else");
  }
}

}  // namespace

std::string DefaultArchivePassword() { return ot::kArchivePassword; }

std::optional<std::int64_t> ParseSourceDateEpoch(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::int64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > (INT64_MAX - 9) / 10) {
      throw DistroError("SOURCE_DATE_EPOCH=\"" + std::string(text) +
                        "\" is not a number of seconds since 1970-01-01 00:00:00 UTC");
    }
    value = value * 10 + (*p - '0');
  }
  return value;
}

ArchiveLayout BuildDistroFile(const std::string& payloadDir, const std::string& outPath,
                              const BuildOptions& options) {
  if (outPath.empty() || outPath.back() == '/') {
    throw DistroError("\"" + outPath + "\" does not name a file");
  }
  std::vector<PayloadFile> files = ScanPayload(payloadDir, options.allowLongPaths);
  RefuseOutputInsidePayload(payloadDir, outPath);

  std::uint64_t totalBytes = 0;
  for (PayloadFile& file : files) {
    totalBytes += file.size;
    if (options.latestTime && file.mtime > *options.latestTime) file.mtime = *options.latestTime;
  }

  WriteOptions write;
  write.password = options.password.empty() ? DefaultArchivePassword() : options.password;
  write.level = options.level;
  write.threads = options.threads;
  write.universalTime = options.latestTime.has_value();
  if (options.progress) {
    write.progress = [&](std::uint64_t bytesDone, std::size_t filesDone, const std::string& current) {
      options.progress(bytesDone, totalBytes, filesDone, files.size(), current);
    };
  }
  AtomicOutputFile out(outPath);
  const ArchiveLayout layout = WriteArchive(files, out, write);
  out.Commit();
  return layout;
}

}  // namespace ot::mkdistro
