// mkdistro: builds the launcher's distribution archive from a payload directory, or inspects
// a built archive.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "archive_check.h"
#include "distro_build.h"
#include "distro_error.h"

namespace {

constexpr char kUsage[] =
    "usage: mkdistro PAYLOAD_DIR OUT.zip [--password TEXT] [--level N] [--threads N]\n"
    "                [--allow-long-paths]\n"
    "       mkdistro --verify ARCHIVE [--decrypt] [--password TEXT]\n"
    "\n"
    "Builds the distribution archive the launcher carries: every regular file under\n"
    "PAYLOAD_DIR, root files first, then each directory's files together, each deflated and\n"
    "encrypted with WinZip AES (AE-2, AES-128) under the password. OUT.zip is replaced only\n"
    "when the new archive is complete. The same files, names, level and password give the same\n"
    "archive, whatever the number of threads.\n"
    "\n"
    "  --password TEXT  password of the entries (default: the launcher's archive password)\n"
    "  --level N        deflate level 0..12 of libdeflate (default 12, the smallest archive)\n"
    "  --threads N      entries deflated on N threads (default: one per processor)\n"
    "  --allow-long-paths\n"
    "                   accept entries whose paths would be too long to unpack (below)\n"
    "  --verify ARCHIVE report the archive's structure: entry count, central directory size\n"
    "                   and offset, whether the records tile the file without gap or overlap,\n"
    "                   whether local and central headers agree; exit status 1 if anything\n"
    "                   is wrong\n"
    "  --decrypt        with --verify: also decrypt, authenticate and inflate every entry\n"
    "                   (under --password, or the launcher's password)\n"
    "  --help           show this text\n"
    "\n"
    "Refused: a missing directory, an empty directory (the archive holds no directory\n"
    "entries, so it could not be recreated), symbolic links and special files, a file of\n"
    "4 GiB or more, more than 65,535 files, names that are not safe relative Windows\n"
    "paths, and names too long to unpack under the temporary folder of a user with a\n"
    "20-character name, C:\\Users\\<name>\\AppData\\Local\\Temp\\{GUID}\\Setup\\ (94 characters):\n"
    "a file path over 259 characters or a directory path over 247, which programs without\n"
    "long-path support cannot use.\n"
    "\n"
    "SOURCE_DATE_EPOCH, when set (seconds since 1970), is the latest time an entry may carry:\n"
    "later files get that time, and all times are written in UTC. On a terminal a progress\n"
    "line shows while the build takes more than a moment; otherwise only the result is printed.\n";

// Builds that end sooner than this show no progress line.
constexpr auto kProgressDelay = std::chrono::milliseconds(500);
constexpr std::size_t kShownNameLength = 40;

std::string WithThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

// A decimal number of at most four digits, or -1.
long ParseCount(const char* text) {
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > 4) return -1;
  long value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "mkdistro: %s\n(mkdistro --help shows the usage)\n", message.c_str());
  return 2;
}

// One line on the terminal, rewritten in place: share done, megabytes, files, and the entry
// written next (long names shortened from the front).
class ProgressLine {
 public:
  void Update(std::uint64_t done, std::uint64_t total, std::size_t filesDone, std::size_t files,
              const std::string& current) {
    if (std::chrono::steady_clock::now() - start_ < kProgressDelay) return;
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    std::string name = current;
    if (name.size() > kShownNameLength) name = "..." + name.substr(name.size() - (kShownNameLength - 3));
    std::fprintf(stderr, "\r\033[Kmkdistro: %3d%%  %.1f of %.1f MB, %zu of %zu files  %s", percent,
                 static_cast<double>(done) / 1e6, static_cast<double>(total) / 1e6, filesDone, files, name.c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void Clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool shown_ = false;
};

int Build(const std::string& payload, const std::string& out, const ot::mkdistro::BuildOptions& given) {
  ot::mkdistro::BuildOptions options = given;
  ProgressLine progress;
  if (isatty(STDERR_FILENO)) {
    options.progress = [&](std::uint64_t done, std::uint64_t total, std::size_t filesDone, std::size_t files,
                           const std::string& current) { progress.Update(done, total, filesDone, files, current); };
  }
  try {
    const ot::mkdistro::ArchiveLayout layout = ot::mkdistro::BuildDistroFile(payload, out, options);
    progress.Clear();
    std::printf("mkdistro: wrote %s: %zu %s, %s bytes, central directory %s bytes at offset %s\n",
                out.c_str(), layout.entries, layout.entries == 1 ? "entry" : "entries", WithThousands(layout.archiveSize).c_str(),
                WithThousands(layout.centralDirSize).c_str(), WithThousands(layout.centralDirOffset).c_str());
    return 0;
  } catch (const std::exception& e) {
    progress.Clear();
    std::fprintf(stderr, "mkdistro: %s\nmkdistro: no archive written\n", e.what());
    return 1;
  }
}

int Verify(const std::string& archive, const ot::mkdistro::VerifyOptions& options) {
  const ot::mkdistro::VerifyReport r = ot::mkdistro::VerifyArchive(archive, options);
  std::printf("archive: %s (%s bytes)\n", archive.c_str(), WithThousands(r.fileSize).c_str());
  if (r.endRecordFound) {
    std::printf("entries: %u\n", r.entries);
    std::printf("central directory: %s bytes at offset %s\n", WithThousands(r.centralDirSize).c_str(),
                WithThousands(r.centralDirOffset).c_str());
  } else {
    std::printf("end record: missing\n");
  }
  if (r.centralDirReadable) {
    std::printf("records: %s [0, %s)\n", r.tiles ? "tile" : "do not tile", WithThousands(r.centralDirOffset).c_str());
    std::printf("local headers: %s\n", r.headersMatch ? "equal to their central headers" : "differ from their central headers");
    std::printf("field values: %s\n", r.valuesAsExpected ? "as the distribution archive uses them" : "unexpected");
    if (options.decrypt) {
      std::printf("entry data: %s\n", r.decrypted ? "every entry decrypts, authenticates and inflates to its size" : "failed");
    }
  }
  for (const std::string& problem : r.problems) std::printf("problem: %s\n", problem.c_str());
  std::printf("result: %s\n", r.ok ? "OK" : "DAMAGED");
  return r.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string verifyPath, password;
  bool verify = false, decrypt = false, passwordGiven = false, allowLongPaths = false;
  int level = ot::mkdistro::kDefaultLevel;
  unsigned threads = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--verify") {
      const char* v = value();
      if (!v) return UsageError("--verify needs an archive");
      verify = true;
      verifyPath = v;
    } else if (arg == "--decrypt") {
      decrypt = true;
    } else if (arg == "--allow-long-paths") {
      allowLongPaths = true;
    } else if (arg == "--password") {
      const char* v = value();
      if (!v || *v == '\0') return UsageError("--password needs a non-empty text");
      password = v;
      passwordGiven = true;
    } else if (arg == "--level") {
      const char* v = value();
      const long n = v ? ParseCount(v) : -1;
      if (n < 0 || n > ot::mkdistro::kMaxLevel) return UsageError("--level needs a number from 0 to 12");
      level = static_cast<int>(n);
    } else if (arg == "--threads") {
      const char* v = value();
      const long n = v ? ParseCount(v) : -1;
      if (n < 1 || n > 1024) return UsageError("--threads needs a number from 1 to 1024");
      threads = static_cast<unsigned>(n);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }

  if (verify) {
    if (!positional.empty()) return UsageError("--verify takes one archive and no payload directory");
    ot::mkdistro::VerifyOptions options;
    options.decrypt = decrypt || passwordGiven;
    options.password = passwordGiven ? password : ot::mkdistro::DefaultArchivePassword();
    return Verify(verifyPath, options);
  }
  if (decrypt) return UsageError("--decrypt belongs to --verify");
  if (positional.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  ot::mkdistro::BuildOptions options;
  options.password = password;
  options.level = level;
  options.threads = threads;
  options.allowLongPaths = allowLongPaths;
  try {
    options.latestTime = ot::mkdistro::ParseSourceDateEpoch(std::getenv("SOURCE_DATE_EPOCH"));
  } catch (const ot::mkdistro::DistroError& e) {
    return UsageError(e.what());
  }
  return Build(positional[0], positional[1], options);
}
