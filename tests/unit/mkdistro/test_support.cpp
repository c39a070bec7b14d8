#include "test_support.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace ot::mkdistro::testing {
namespace {

std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | static_cast<std::uint32_t>(Le16(b, at + 2)) << 16;
}

void MakeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0777);
  }
}

void Collect(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
  for (const std::string& name : ListDir(relative.empty() ? root : root + "/" + relative)) {
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Collect(root, child, out);
    } else {
      out.push_back(child);
    }
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mkdistro-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  MakeParents(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> ListFilesRecursively(const std::string& root) {
  std::vector<std::string> files;
  Collect(root, "", files);
  std::sort(files.begin(), files.end());
  return files;
}

CommandResult RunCommand(const std::string& commandLine) {
  CommandResult result;
  FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
  const int status = pclose(pipe);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

RawArchive ParseArchive(const std::vector<std::uint8_t>& b) {
  RawArchive archive;
  if (b.size() < 22) {
    ADD_FAILURE() << "archive shorter than an end record";
    return archive;
  }
  const std::size_t e = b.size() - 22;
  EXPECT_EQ(Le32(b, e), 0x06054B50u) << "no end record in the last 22 bytes";
  archive.end = {Le16(b, e + 4), Le16(b, e + 6), Le16(b, e + 8), Le16(b, e + 10), Le16(b, e + 20),
                 Le32(b, e + 12), Le32(b, e + 16)};
  std::size_t p = archive.end.centralOffset;
  for (unsigned i = 0; i < archive.end.entries; ++i) {
    if (p + 46 > b.size() || Le32(b, p) != 0x02014B50u) {
      ADD_FAILURE() << "central header " << i << " missing at " << p;
      return archive;
    }
    RawCentral c{};
    c.versionMadeBy = Le16(b, p + 4);
    c.versionNeeded = Le16(b, p + 6);
    c.flags = Le16(b, p + 8);
    c.method = Le16(b, p + 10);
    c.time = Le16(b, p + 12);
    c.date = Le16(b, p + 14);
    c.crc = Le32(b, p + 16);
    c.compressedSize = Le32(b, p + 20);
    c.uncompressedSize = Le32(b, p + 24);
    const std::size_t n = Le16(b, p + 28), m = Le16(b, p + 30);
    c.commentSize = Le16(b, p + 32);
    c.diskStart = Le16(b, p + 34);
    c.internalAttributes = Le16(b, p + 36);
    c.externalAttributes = Le32(b, p + 38);
    c.localOffset = Le32(b, p + 42);
    c.name.assign(b.begin() + static_cast<std::ptrdiff_t>(p + 46), b.begin() + static_cast<std::ptrdiff_t>(p + 46 + n));
    c.extra.assign(b.begin() + static_cast<std::ptrdiff_t>(p + 46 + n), b.begin() + static_cast<std::ptrdiff_t>(p + 46 + n + m));
    p += 46 + n + m + c.commentSize;

    const std::size_t l = c.localOffset;
    RawLocal local{};
    local.signature = Le32(b, l);
    local.versionNeeded = Le16(b, l + 4);
    local.flags = Le16(b, l + 6);
    local.method = Le16(b, l + 8);
    local.time = Le16(b, l + 10);
    local.date = Le16(b, l + 12);
    local.crc = Le32(b, l + 14);
    local.compressedSize = Le32(b, l + 18);
    local.uncompressedSize = Le32(b, l + 22);
    const std::size_t ln = Le16(b, l + 26), lm = Le16(b, l + 28);
    local.name.assign(b.begin() + static_cast<std::ptrdiff_t>(l + 30), b.begin() + static_cast<std::ptrdiff_t>(l + 30 + ln));
    local.extra.assign(b.begin() + static_cast<std::ptrdiff_t>(l + 30 + ln), b.begin() + static_cast<std::ptrdiff_t>(l + 30 + ln + lm));
    local.dataOffset = l + 30 + ln + lm;
    archive.central.push_back(std::move(c));
    archive.local.push_back(std::move(local));
  }
  return archive;
}

}  // namespace ot::mkdistro::testing
