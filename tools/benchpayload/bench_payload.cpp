#include "bench_payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace ot::benchpayload {
namespace {

std::uint64_t SplitMix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// A value in [0, 1) from the top 53 bits.
double Unit(std::uint64_t& state) {
  return static_cast<double>(SplitMix64(state) >> 11) * (1.0 / 9007199254740992.0);
}

std::uint64_t LogUniform(std::uint64_t& state, double low, double high) {
  return static_cast<std::uint64_t>(std::exp(std::log(low) + Unit(state) * (std::log(high) - std::log(low))));
}

enum class Kind { kMainProgram, kProgram, kLibrary, kText, kLanguage, kNativeLibrary, kRedistributable };

struct Slot {
  std::string name;
  Kind kind;
};

// The tree, in the order the files are listed: root files, then each directory's files.
std::vector<Slot> TreeSlots() {
  std::vector<Slot> slots;
  slots.push_back({"Orvane.Tessaly.exe", Kind::kMainProgram});
  for (const char* program : {"Setup", "Starter", "Updater", "Console", "Migrate", "Service",
                              "Diagnostics", "Register", "Repair", "Uninstall", "Launcher",
                              "Reporter", "Cleanup"}) {
    slots.push_back({std::string("Orvane.Tessaly.") + program + ".exe", Kind::kProgram});
  }
  for (const char* library :
       {"Core",      "Data",     "Model",   "Render",   "Network",  "Storage", "Crypto",
        "Imaging",   "Printing", "Reports", "Scripting", "Licensing", "Updates", "Logging",
        "Settings",  "Controls", "Themes",  "Charts",   "Export",   "Import",  "Search",
        "Sync",      "Plugins",  "Help",    "Speech",   "Spelling", "Telemetry", "Interop",
        "Database",  "Archive",  "Audio",   "Video"}) {
    slots.push_back({std::string("Orvane.Tessaly.") + library + ".dll", Kind::kLibrary});
  }
  slots.push_back({"ReadMe.txt", Kind::kText});
  slots.push_back({"License.txt", Kind::kText});

  // Two of the languages carry their own, non-ASCII names; with the three file kinds that
  // makes six names outside ASCII. Both are among the first 17, which have all three kinds.
  const std::array<const char*, 20> languages = {
      "English",   "German",  "Fran\xC3\xA7" "ais", "Espa\xC3\xB1" "ol", "Italian",
      "Dutch",     "Polish",  "Swedish",    "Danish",    "Norwegian",
      "Finnish",   "Hungarian", "Romanian", "Russian",   "Japanese",
      "Chinese",   "Korean",  "Turkish",    "Portuguese", "Czech"};
  for (const char* extension : {".lng", ".hlp", ".dic"}) {
    const std::size_t count = std::strcmp(extension, ".dic") == 0 ? 17 : 20;
    for (std::size_t i = 0; i < count; ++i) {
      slots.push_back({std::string("Languages/") + languages[i] + extension, Kind::kLanguage});
    }
  }
  for (const char* dir : {"x86/", "x64/"}) {
    for (const char* library : {"OrvNative.dll", "sqlite3.dll", "OrvCodec.dll", "OrvShell.dll"}) {
      slots.push_back({std::string(dir) + library, Kind::kNativeLibrary});
    }
  }
  slots.push_back({"Redistributables/OrvRuntime.x86.exe", Kind::kRedistributable});
  slots.push_back({"Redistributables/OrvRuntime.x64.exe", Kind::kRedistributable});
  return slots;
}

// Typical size range of each kind, before the sizes are scaled to the real total.
std::pair<double, double> SizeRange(Kind kind) {
  switch (kind) {
    case Kind::kProgram: return {60e3, 4e6};
    case Kind::kLibrary: return {30e3, 3e6};
    case Kind::kText: return {4e3, 60e3};
    case Kind::kLanguage: return {8e3, 300e3};
    case Kind::kNativeLibrary: return {150e3, 3e6};
    case Kind::kRedistributable: return {2e6, 8e6};
    case Kind::kMainProgram: break;
  }
  return {kLargestSize, kLargestSize};
}

// Spreads `target` bytes over the free files in proportion to their raw sizes, keeping each
// strictly between the smallest and the largest size, so that those two stay unique.
void FitSizes(std::vector<std::uint64_t>& sizes, std::uint64_t target) {
  const std::uint64_t low = kSmallestSize + 1, high = kLargestSize - 1;
  std::vector<double> raw(sizes.begin(), sizes.end());
  double factor = 1.0;
  for (int round = 0; round < 50; ++round) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const auto scaled = static_cast<std::uint64_t>(raw[i] * factor);
      sizes[i] = std::clamp(scaled, low, high);
      sum += sizes[i];
    }
    if (sum == target) return;
    factor *= static_cast<double>(target) / static_cast<double>(sum);
  }
  // Rounding leaves a small remainder: take it from or give it to files that have room.
  std::int64_t rest = static_cast<std::int64_t>(target);
  for (std::uint64_t size : sizes) rest -= static_cast<std::int64_t>(size);
  for (std::size_t i = 0; rest != 0 && i < sizes.size(); ++i) {
    if (rest > 0) {
      const auto step = std::min<std::uint64_t>(static_cast<std::uint64_t>(rest), high - sizes[i]);
      sizes[i] += step;
      rest -= static_cast<std::int64_t>(step);
    } else {
      const auto step = std::min<std::uint64_t>(static_cast<std::uint64_t>(-rest), sizes[i] - low);
      sizes[i] -= step;
      rest += static_cast<std::int64_t>(step);
    }
  }
  if (rest != 0) throw std::logic_error("benchpayload: sizes cannot reach the total");
}

// Byte values in the order of how often the generator emits them: zero and a few common
// opcode and operand bytes first, then the rest, as a code section tends to look.
std::array<std::uint8_t, 256> ByteRanking() {
  std::array<std::uint8_t, 256> ranking{};
  const std::uint8_t common[] = {0x00, 0xFF, 0x8B, 0x48, 0x89, 0xE8, 0x0F, 0x83, 0x24, 0x45,
                                 0x85, 0xC0, 0x74, 0x75, 0x4C, 0x8D, 0x01, 0x10, 0xEB, 0xC3};
  std::array<bool, 256> used{};
  std::size_t n = 0;
  for (std::uint8_t b : common) {
    ranking[n++] = b;
    used[b] = true;
  }
  for (unsigned b = 0; b < 256; ++b) {
    if (!used[b]) ranking[n++] = static_cast<std::uint8_t>(b);
  }
  return ranking;
}

constexpr std::size_t kHistory = 32 * 1024;  // what deflate can still refer back to
constexpr std::size_t kBlock = 256 * 1024;

}  // namespace

std::vector<BenchFile> PlanBenchPayload(std::uint64_t seed, unsigned scale) {
  if (scale == 0) scale = 1;
  std::uint64_t state = seed ^ 0x6F7453657475702EULL;
  const std::vector<Slot> slots = TreeSlots();

  // The smallest file is the short read-me; the largest the product's main program.
  std::vector<std::uint64_t> freeSizes;
  std::vector<std::size_t> freeIndex;
  std::size_t smallest = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].name == "ReadMe.txt") {
      smallest = i;
      continue;
    }
    if (slots[i].kind == Kind::kMainProgram) continue;
    const auto [low, high] = SizeRange(slots[i].kind);
    freeSizes.push_back(LogUniform(state, low, high));
    freeIndex.push_back(i);
  }
  FitSizes(freeSizes, kTotalSize - kLargestSize - kSmallestSize);

  std::vector<BenchFile> files(slots.size());
  const std::int64_t first = 1645574400;  // 2022-02-23 00:00 UTC
  const std::int64_t last = 1695859199;   // 2023-09-27 23:59:59 UTC
  for (std::size_t i = 0; i < slots.size(); ++i) {
    files[i].name = slots[i].name;
    files[i].size = slots[i].kind == Kind::kMainProgram ? kLargestSize : 0;
    files[i].mtime = first + static_cast<std::int64_t>(SplitMix64(state) %
                                                       static_cast<std::uint64_t>(last - first + 1));
    files[i].contentSeed = SplitMix64(state);
  }
  files[smallest].size = kSmallestSize;
  for (std::size_t k = 0; k < freeIndex.size(); ++k) files[freeIndex[k]].size = freeSizes[k];
  for (BenchFile& file : files) file.size *= scale;
  return files;
}

ProgramLikeBytes::ProgramLikeBytes(std::uint64_t seed)
    : state_(seed), window_(kHistory + kBlock + 512) {}

std::uint64_t ProgramLikeBytes::Random() { return SplitMix64(state_); }

// Alternates runs of fresh bytes, skewed towards the common values, with short copies of
// recent output (repeated instruction sequences, tables, padding). The mix is tuned so that
// raw deflate keeps about two thirds of the bytes.
void ProgramLikeBytes::Refill() {
  static const std::array<std::uint8_t, 256> ranking = ByteRanking();
  if (end_ > kHistory) {
    std::memmove(window_.data(), window_.data() + end_ - kHistory, kHistory);
    begin_ -= end_ - kHistory;
    end_ = kHistory;
  }
  const std::size_t limit = kHistory + kBlock;
  while (end_ < limit) {
    const std::uint64_t r = Random();
    const unsigned choice = static_cast<unsigned>(r & 0xFF);
    if (choice < 75 && end_ >= 64) {
      // A copy of 4..35 earlier bytes, mostly from close by.
      const std::size_t length = 4 + ((r >> 8) & 31);
      const std::size_t reach = std::min<std::size_t>(end_, (r >> 13) & 1 ? 2048 : kHistory);
      const std::size_t distance = 1 + ((r >> 14) % reach);
      for (std::size_t i = 0; i < length; ++i, ++end_) window_[end_] = window_[end_ - distance];
    } else {
      // 8..23 fresh bytes, each from a skewed distribution over the ranking.
      const std::size_t length = 8 + ((r >> 8) & 15);
      for (std::size_t i = 0; i < length; ++i, ++end_) {
        const std::uint64_t v = Random();
        const unsigned u = static_cast<unsigned>(v & 0xFF);
        const unsigned w = static_cast<unsigned>((v >> 8) & 0xFF);
        window_[end_] = ranking[(u * w) >> 8];  // product of two uniforms leans to the front
      }
    }
  }
}

void ProgramLikeBytes::Next(std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    if (begin_ == end_) Refill();
    const std::size_t n = std::min(size, end_ - begin_);
    std::memcpy(out, window_.data() + begin_, n);
    begin_ += n;
    out += n;
    size -= n;
  }
}

namespace {

void MakeDirectories(const std::string& path) {
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create directory " + partial + ": " + std::strerror(errno));
    }
  }
}

void WriteFile(const std::string& path, const BenchFile& file, std::vector<std::uint8_t>& buffer) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  ProgramLikeBytes bytes(file.contentSeed);
  std::uint64_t left = file.size;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    bytes.Next(buffer.data(), n);
    for (std::size_t done = 0; done < n;) {
      const ssize_t w = write(fd, buffer.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
      }
      done += static_cast<std::size_t>(w);
    }
    left -= n;
  }
  const timespec times[2] = {{file.mtime, 0}, {file.mtime, 0}};
  const bool timed = futimens(fd, times) == 0;
  const int error = errno;
  if (close(fd) != 0 || !timed) {
    throw std::runtime_error("cannot finish " + path + ": " + std::strerror(timed ? errno : error));
  }
}

}  // namespace

void WriteBenchPayload(const std::string& outDir, std::uint64_t seed, unsigned scale) {
  MakeDirectories(outDir);
  std::vector<std::uint8_t> buffer(1 << 20);
  for (const BenchFile& file : PlanBenchPayload(seed, scale)) {
    const std::string path = outDir + "/" + file.name;
    MakeDirectories(path.substr(0, path.rfind('/')));
    WriteFile(path, file, buffer);
  }
}

}  // namespace ot::benchpayload
