#include "payload_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "distro_error.h"
#include "zip/name_text.h"

namespace ot::mkdistro {
namespace {

bool IsReservedDeviceName(std::string_view component) {
  std::string base(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
  // A digit 1-9, or one of the superscript digits 1-3 that Windows takes for digits here too.
  const std::string_view digit = std::string_view(base).substr(3);
  return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
         digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

std::string CheckComponent(std::string_view component) {
  if (component.empty()) return "has an empty path component";
  if (component == "." || component == "..") return "has a \"" + std::string(component) + "\" component";
  if (component.back() == '.' || component.back() == ' ') {
    return "has a component ending in a dot or a space, which Windows drops";
  }
  if (IsReservedDeviceName(component)) {
    return "uses the reserved Windows device name \"" + std::string(component) + "\"";
  }
  return {};
}

std::string FoldAsciiCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string SortKey(std::string_view name) {
  // Component order within the directory part: the separator sorts before every other byte,
  // so a directory comes right before its subdirectories.
  const std::size_t slash = name.rfind('/');
  std::string key(slash == std::string_view::npos ? std::string_view() : name.substr(0, slash));
  std::replace(key.begin(), key.end(), '/', '\x01');
  key.push_back('\0');
  key.append(name.substr(slash == std::string_view::npos ? 0 : slash + 1));
  return key;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string WithThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

void Walk(const std::string& root, const std::string& relative, std::vector<PayloadFile>& out) {
  const std::string dirPath = relative.empty() ? root : root + "/" + relative;
  std::unique_ptr<DIR, DirCloser> dir(opendir(dirPath.c_str()));
  if (!dir) throw DistroError("cannot read directory " + Quoted(dirPath) + ": " + std::strerror(errno));
  bool empty = true;
  errno = 0;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    empty = false;
    const std::string childRelative = relative.empty() ? name : relative + "/" + name;
    const std::string childPath = root + "/" + childRelative;
    struct stat st;
    if (lstat(childPath.c_str(), &st) != 0) {
      throw DistroError("cannot examine " + Quoted(childPath) + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
      Walk(root, childRelative, out);
    } else if (S_ISREG(st.st_mode)) {
      out.push_back({childRelative, childPath, static_cast<std::uint64_t>(st.st_size), st.st_mtime});
    } else if (S_ISLNK(st.st_mode)) {
      throw DistroError(Quoted(childPath) +
                        " is a symbolic link; the archive holds regular files only (copy the file it points to)");
    } else {
      throw DistroError(Quoted(childPath) +
                        " is not a regular file (device, pipe or socket); the archive holds regular files only");
    }
    errno = 0;
  }
  if (errno != 0) throw DistroError("cannot read directory " + Quoted(dirPath) + ": " + std::strerror(errno));
  if (empty && !relative.empty()) {
    throw DistroError("empty directory " + Quoted(dirPath) +
                      " could not be recreated: the archive holds files only, no directory entries; "
                      "remove it or put a file into it");
  }
}

}  // namespace

std::string CheckEntryName(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > 0xFFFF) return "is longer than 65,535 bytes";
  if (name.front() == '/') return "is an absolute path";
  for (std::size_t pos = 0; pos < name.size();) {
    const orv::zip::Utf8Sequence sequence = orv::zip::DecodeUtf8(name, pos);
    if (!sequence.valid) return "is not valid UTF-8";
    const char32_t cp = sequence.value;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return "contains a control character";
    if (cp == '\\') return "contains a backslash";
    if (cp == ':') return "contains a colon";
    if (cp == '<' || cp == '>' || cp == '"' || cp == '|' || cp == '?' || cp == '*') {
      return "contains the character '" + std::string(1, static_cast<char>(cp)) +
             "', which Windows does not allow in file names";
    }
    pos += sequence.length;
  }
  for (std::size_t start = 0;;) {
    const std::size_t slash = name.find('/', start);
    const std::string reason = CheckComponent(name.substr(start, slash - start));
    if (!reason.empty()) return reason;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return {};
}

std::string CheckUnpackedPathLength(std::string_view name) {
  // UTF-16 code units: one per code point, two for those beyond U+FFFF (four UTF-8 bytes).
  std::size_t units = 0, directoryUnits = 0;
  for (std::size_t pos = 0; pos < name.size();) {
    const orv::zip::Utf8Sequence sequence = orv::zip::DecodeUtf8(name, pos);
    if (name[pos] == '/') directoryUnits = units;
    units += sequence.value > 0xFFFF ? 2 : 1;
    pos += sequence.length;
  }
  const std::string where = "C:\\Users\\<20-character name>\\AppData\\Local\\Temp\\{GUID}\\Setup\\";
  const std::size_t path = kUnpackFolderLength + units;
  if (path > kMaxFilePathLength) {
    return "the entry " + Quoted(name) + " would be unpacked to a path of " + std::to_string(path) +
           " characters under " + where + ", more than the " + std::to_string(kMaxFilePathLength) +
           " Windows programs can open without long-path support";
  }
  const std::size_t directory = kUnpackFolderLength + directoryUnits;
  if (directoryUnits > 0 && directory > kMaxDirectoryPathLength) {
    return "the entry " + Quoted(name) + " would need a directory path of " + std::to_string(directory) +
           " characters under " + where + ", more than the " + std::to_string(kMaxDirectoryPathLength) +
           " Windows can create without long-path support";
  }
  return {};
}

void SortArchiveOrder(std::vector<PayloadFile>& files) {
  std::vector<std::pair<std::string, PayloadFile>> keyed;
  keyed.reserve(files.size());
  for (PayloadFile& file : files) keyed.emplace_back(SortKey(file.name), std::move(file));
  std::sort(keyed.begin(), keyed.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < files.size(); ++i) files[i] = std::move(keyed[i].second);
}

void CheckPayload(const std::vector<PayloadFile>& files, bool allowLongPaths) {
  if (files.empty()) throw DistroError("the payload holds no files");
  if (files.size() > kMaxEntries) {
    throw DistroError("the payload holds " + WithThousands(files.size()) +
                      " files, more than the 65,535 entries an archive without ZIP64 records can hold");
  }
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const PayloadFile& file : files) {
    const std::string reason = CheckEntryName(file.name);
    if (!reason.empty()) {
      throw DistroError("the name " + Quoted(file.name) + " of " + Quoted(file.path) +
                        " is not a safe relative path: it " + reason);
    }
    if (!allowLongPaths) {
      if (const std::string tooLong = CheckUnpackedPathLength(file.name); !tooLong.empty()) {
        throw DistroError(tooLong + "; shorten it (mkdistro --allow-long-paths, or the build's "
                                    "OT_ALLOW_LONG_PAYLOAD_PATHS, lifts this check)");
      }
    }
    if (file.size > kMaxFileSize) {
      throw DistroError(Quoted(file.path) + " is " + WithThousands(file.size) +
                        " bytes: files of 4 GiB or more need ZIP64 records, which the archive does not use");
    }
    names.push_back(file.name);
  }
  if (std::string clash = FindNameClash(names); !clash.empty()) throw DistroError(std::move(clash));
}

std::string FindNameClash(const std::vector<std::string>& names) {
  std::map<std::string, std::string> fileNames, dirNames;  // folded -> as written
  for (const std::string& name : names) {
    const std::string folded = FoldAsciiCase(name);
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      const std::string dir = name.substr(0, slash);
      const auto [it, added] = dirNames.emplace(folded.substr(0, slash), dir);
      if (!added && it->second != dir) {
        return "the directories " + Quoted(it->second) + " and " + Quoted(dir) +
               " differ only in letter case; unpacked on Windows they would be one";
      }
      if (const auto clash = fileNames.find(it->first); clash != fileNames.end()) {
        return Quoted(clash->second) + " is both a file and a directory on Windows, where letter case does not count";
      }
    }
    if (const auto clash = dirNames.find(folded); clash != dirNames.end()) {
      return Quoted(name) + " is both a file and a directory on Windows, where letter case does not count";
    }
    const auto [it, added] = fileNames.emplace(folded, name);
    if (!added) {
      return it->second == name
                 ? "the name " + Quoted(name) + " stands twice; unpacked, the second would overwrite the first"
                 : "the files " + Quoted(it->second) + " and " + Quoted(name) +
                       " differ only in letter case; unpacked on Windows one would overwrite the other";
    }
  }
  return {};
}

std::vector<PayloadFile> ScanPayload(const std::string& rootGiven, bool allowLongPaths) {
  std::string root = rootGiven;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  struct stat st;
  if (stat(root.c_str(), &st) != 0) {
    if (errno == ENOENT) throw DistroError("no such directory: " + Quoted(root));
    throw DistroError("cannot examine " + Quoted(root) + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) throw DistroError(Quoted(root) + " is not a directory");
  std::vector<PayloadFile> files;
  Walk(root, "", files);
  if (files.empty()) throw DistroError("the payload directory " + Quoted(root) + " holds no files");
  SortArchiveOrder(files);
  CheckPayload(files, allowLongPaths);
  return files;
}

}  // namespace ot::mkdistro
