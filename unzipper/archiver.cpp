#include "archiver.h"

#include <vector>

#include "crypto/wipe.h"
#include "zip/name_text.h"
#include "zip/path_check.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

constexpr std::uint32_t kAttributeReadOnly = 0x01;
// What SetFileAttributes accepts of an entry's attributes: read-only, hidden, system, archive,
// normal, temporary, offline, not content-indexed. Archives made on Unix carry the mode in the
// upper half and flag bits (0x8000) that Windows would reject.
constexpr std::uint32_t kSettableAttributes = 0x31A7;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveOnly(std::wstring_view path) { return path.size() == 2 && path[1] == L':'; }

bool IsFloppyPath(std::wstring_view path) {
  return path.size() >= 2 && path[1] == L':' &&
         (path[0] == L'A' || path[0] == L'a' || path[0] == L'B' || path[0] == L'b');
}

wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool MatchWildcard(std::wstring_view text, std::wstring_view mask) {
  std::size_t t = 0, m = 0;
  std::size_t starMask = std::wstring_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && (mask[m] == L'?' || FoldCase(mask[m]) == FoldCase(text[t]))) {
      ++t, ++m;
    } else if (m < mask.size() && mask[m] == L'*') {
      starMask = m++;
      starText = t;
    } else if (starMask != std::wstring_view::npos) {
      m = starMask + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == L'*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(std::wstring_view name, std::wstring_view mask, bool recurse) {
  const bool maskHasPath = mask.find_first_of(L"\\/") != std::wstring_view::npos;
  if (maskHasPath) return MatchWildcard(name, mask);
  // A mask without a path is matched against the last component ("dir/" counts as "dir");
  // without recursion only entries at the top level can match.
  std::wstring_view last = name;
  while (!last.empty() && IsSeparator(last.back())) last.remove_suffix(1);
  const auto cut = last.find_last_of(L"\\/");
  if (cut != std::wstring_view::npos) {
    if (!recurse) return false;
    last.remove_prefix(cut + 1);
  }
  return MatchWildcard(last, mask);
}

Archiver::Archiver(FileSystem& fileSystem, Prompts& prompts) : fs_(fileSystem), prompts_(prompts) {}

Archiver::~Archiver() {
  Close();
  crypto::SecureWipe(Password.data(), Password.size());
}

Status Archiver::Open() {
  Close();
  if (FileName.empty()) return Status::Archiver(kErrorBlankFileName).WithObjectName(Name);
  if (!IsFloppyPath(FileName) && !fs_.IsRemovableDrive(FileName)) {
    const std::uint32_t attributes = fs_.GetAttributes(FileName);
    if (attributes == FileSystem::kNoAttributes || (attributes & zip::kAttributeDirectory)) {
      return Status::Archiver(kErrorFileNotFound, FileName).WithObjectName(Name);
    }
  }
  std::unique_ptr<InputFile> file = fs_.OpenForReading(FileName);
  if (!file) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  int code = 0;
  switch (zip::ReadCentralDirectory(*file, directory_)) {
    case zip::OpenResult::kOk: break;
    case zip::OpenResult::kDamaged: code = kErrorArchiveDamaged; break;
    case zip::OpenResult::kNoZip64End: code = kErrorNoZip64EndRecord; break;
    case zip::OpenResult::kNotAnArchive:
    case zip::OpenResult::kReadError: code = kErrorCannotOpenArchive; break;
  }
  if (code != 0) {
    directory_ = zip::CentralDirectory();
    return Status::Archiver(code).WithObjectName(Name);
  }
  archive_ = std::move(file);
  return Status::Ok();
}

void Archiver::Close() {
  archive_.reset();
  directory_ = zip::CentralDirectory();
  reader_.reset();
}

std::wstring Archiver::DecodeName(const zip::Entry& entry) {
  if (UnicodeFilenames && (entry.flags & zip::kFlagUtf8)) return zip::Utf8ToWide(entry.storedName);
  return fs_.NarrowToWide(entry.storedName, OEMFileNames ? NarrowCodePage::kOem : NarrowCodePage::kAnsi);
}

bool Archiver::IsSelected(const std::wstring& name, std::uint32_t entryAttributes,
                          const std::wstring& fileMask, std::uint32_t attributes,
                          const std::wstring& exclusionMask) const {
  if ((entryAttributes & kAllEntryAttributes & ~attributes) != 0) return false;
  if (!MatchesMask(name, fileMask, Recurse)) return false;
  return exclusionMask.empty() || !MatchesMask(name, exclusionMask, Recurse);
}

Status Archiver::ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes,
                              const std::wstring& exclusionMask) {
  if (!archive_) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  std::wstring outputBase = BaseDir.empty() ? fs_.CurrentDirectory() : BaseDir;
  // Without a base the entries would land at the root of the current drive.
  if (outputBase.empty()) return Status::Fatal(L"Cannot determine the current directory");
  if (outputBase.back() != L'\\') outputBase += L'\\';
  if (!reader_) reader_ = std::make_unique<zip::EntryReader>();

  for (const zip::Entry& entry : directory_.entries) {
    const std::wstring name = DecodeName(entry);
    if (!IsSelected(name, entry.externalAttributes, fileMask, attributes, exclusionMask)) continue;
    for (;;) {
      const Status status = ExtractEntry(entry, name, outputBase).WithObjectName(Name);
      if (status.ok()) break;
      if (status.kind() == Status::Kind::kFatal) return status;
      const FailureAnswer answer = prompts_.AskOnFailure(FailurePromptText(status.text()));
      if (answer == FailureAnswer::kRetry) continue;
      if (answer == FailureAnswer::kIgnore) break;
      return Status::Ok();  // Abort ends the extraction, and that still is a normal end
    }
  }
  return Status::Ok();
}

Status Archiver::ExtractEntry(const zip::Entry& entry, const std::wstring& name,
                              const std::wstring& outputBase) {
  std::wstring working = name;
  for (wchar_t& c : working) {
    if (c == L'/') c = L'\\';
  }
  if (!zip::IsSafeEntryName(working)) return Status::Archiver(kErrorUnsafeName, name);

  const auto cut = working.rfind(L'\\');
  std::wstring directoryPart = cut == std::wstring::npos ? std::wstring() : working.substr(0, cut + 1);
  if (!CreateDirs) {
    working.erase(0, directoryPart.size());
    directoryPart.clear();
  }
  if (!ForceDirectories(outputBase + directoryPart)) {
    return Status::Archiver(kErrorCannotCreateDirectory, outputBase + directoryPart);
  }
  // A name ending in a separator names a directory, whatever its attributes say.
  const bool isDirectory = (entry.externalAttributes & zip::kAttributeDirectory) != 0 ||
                           (!working.empty() && working.back() == L'\\');
  if (isDirectory || working.empty()) return Status::Ok();

  const std::wstring fullPath = outputBase + working;
  const std::uint32_t existing = fs_.GetAttributes(fullPath);
  if (existing != FileSystem::kNoAttributes && !(existing & zip::kAttributeDirectory)) {
    if (OverwriteMode == omNever) return Status::Ok();
    if ((existing & kAttributeReadOnly) && !ReplaceReadOnly) {
      return Status::Archiver(kErrorCannotCreateFile, fullPath);
    }
    fs_.SetAttributes(fullPath, 0);
    fs_.RemoveFile(fullPath);
  }

  std::unique_ptr<OutputFile> out = fs_.CreateForWriting(fullPath);
  if (!out) return Status::Archiver(kErrorCannotCreateFile, fullPath);

  bool skipped = false;
  Status status = reader_->Begin(*archive_, directory_, entry, name);
  if (status.ok() && reader_->IsEncrypted()) {
    while (!reader_->TryPassword(Password)) {
      std::string typed;
      if (!prompts_.AskPassword(name, typed)) {
        skipped = true;  // Cancel: no error, the next entry follows
        break;
      }
      ReplacePassword(std::move(typed));
    }
  }
  if (status.ok() && !skipped) status = reader_->Decode(*out, fullPath);
  if (status.ok() && !skipped) {
    out->SetLastWriteTime(entry.dosDate, entry.dosTime);
    if (FlushBuffers && NeedsFlush(fullPath)) out->Flush();
  }
  // Data the system wrote late can still fail here (a full network drive).
  const bool closed = out->Close();
  out.reset();
  if (status.ok() && !skipped && !closed) status = Status::Archiver(kErrorWriteFile, fullPath);
  if (skipped || !status.ok()) {
    fs_.RemoveFile(fullPath);
    return status;
  }
  if (SetAttributes) fs_.SetAttributes(fullPath, entry.externalAttributes & kSettableAttributes);
  if (FileExtracted) FileExtracted(fullPath);
  return Status::Ok();
}

// Creates directory and every missing parent; true when it exists afterwards.
bool Archiver::ForceDirectories(const std::wstring& directory) {
  std::wstring path = directory;
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  std::vector<std::wstring> missing;
  while (!path.empty() && !IsDriveOnly(path)) {
    const std::uint32_t attributes = fs_.GetAttributes(path);
    if (attributes != FileSystem::kNoAttributes) {
      if (!(attributes & zip::kAttributeDirectory)) return false;  // a file is in the way
      break;
    }
    missing.push_back(path);
    const auto cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) break;
    path.erase(cut);
    while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs_.MakeDirectory(*it)) {
      const std::uint32_t attributes = fs_.GetAttributes(*it);  // made meanwhile by someone else?
      if (attributes == FileSystem::kNoAttributes || !(attributes & zip::kAttributeDirectory)) return false;
    }
  }
  return true;
}

bool Archiver::NeedsFlush(const std::wstring& path) {
  return IsFloppyPath(path) || fs_.IsRemovableDrive(path);
}

void Archiver::ReplacePassword(std::string typed) {
  crypto::SecureWipe(Password.data(), Password.size());
  Password.assign(typed);  // a copy, so that the typed text can be wiped where it lies
  crypto::SecureWipe(typed.data(), typed.size());
}

}  // namespace orv
