#include "archiver.h"

#include <vector>

#include "crypto/wipe.h"
#include "extraction_schedule.h"
#include "os/force_directories.h"
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


bool IsFloppyPath(std::wstring_view path) {
  return path.size() >= 2 && path[1] == L':' &&
         (path[0] == L'A' || path[0] == L'a' || path[0] == L'B' || path[0] == L'b');
}

bool MatchWildcard(std::wstring_view text, std::wstring_view mask) {
  std::size_t t = 0, m = 0;
  std::size_t starMask = std::wstring_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && (mask[m] == L'?' || zip::FoldCase(mask[m]) == zip::FoldCase(text[t]))) {
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

// Where an entry goes, worked out once when it enters the schedule's window.
struct Archiver::OutputPath {
  bool safe = false;        // false: the name would leave the destination (error 60)
  bool writesFile = false;  // false: a directory entry, finished once its directories exist
  std::wstring directory;   // the directory to make: the base and the name's directory part
  std::wstring file;        // the full path of the file
};

// One ExtractFiles call, as the calling thread sees it.
struct Archiver::Run {
  std::wstring outputBase;  // ends in '\'
  bool needsFlush = false;
  ExtractionSchedule* schedule = nullptr;
  std::unique_ptr<zip::EntryReader> reader;  // for the entries the calling thread decodes
  std::vector<OutputPath> paths = std::vector<OutputPath>(ExtractionSchedule::kWindow);

  OutputPath& PathOf(std::size_t index) { return paths[index % paths.size()]; }
};

struct Archiver::EntryOutcome {
  Status status;      // an archiver error goes to the failure prompt; a fatal one ends the run
  bool wrote = false; // the file is complete and handed over for closing
};

namespace {

// The output path of an entry: '\' separators, the directory part kept with CreateDirs and
// dropped without it. False for a name that leaves the destination.
bool MakeOutputPath(const std::wstring& outputBase, const std::wstring& name, bool createDirs,
                    std::wstring& directory, std::wstring& file) {
  std::wstring working = name;
  for (wchar_t& c : working) {
    if (c == L'/') c = L'\\';
  }
  if (!zip::IsSafeEntryName(working)) return false;
  const auto cut = working.rfind(L'\\');
  const std::size_t directoryLength = cut == std::wstring::npos ? 0 : cut + 1;
  directory.assign(outputBase).append(working, 0, createDirs ? directoryLength : 0);
  file.assign(outputBase).append(working, createDirs ? 0 : directoryLength, std::wstring::npos);
  return true;
}

// What the calling thread writes when it decodes an entry again after it wrote the first
// bytes from its decoding thread: those bytes are passed over, the rest goes to the file.
class SkippingOutput final : public OutputFile {
 public:
  SkippingOutput(OutputFile& out, std::uint64_t skip) : out_(out), skip_(skip) {}
  bool Write(const void* data, std::size_t size) override {
    if (skip_ >= size) {
      skip_ -= size;
      return true;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data) + skip_;
    size -= static_cast<std::size_t>(skip_);
    skip_ = 0;
    return out_.Write(bytes, size);
  }
  bool SetLastWriteTime(std::uint16_t dosDate, std::uint16_t dosTime) override {
    return out_.SetLastWriteTime(dosDate, dosTime);
  }
  bool Flush() override { return out_.Flush(); }
  bool Close() override { return out_.Close(); }

 private:
  OutputFile& out_;
  std::uint64_t skip_;
};

}  // namespace

Status Archiver::ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes,
                              const std::wstring& exclusionMask) {
  if (!archive_) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  Run run;
  run.outputBase = BaseDir.empty() ? fs_.CurrentDirectory() : BaseDir;
  // Without a base the entries would land at the root of the current drive.
  if (run.outputBase.empty()) return Status::Fatal(L"Cannot determine the current directory");
  if (run.outputBase.back() != L'\\') run.outputBase += L'\\';
  // Every output path begins with the base, so one answer serves every file.
  run.needsFlush = FlushBuffers && (IsFloppyPath(run.outputBase) || fs_.IsRemovableDrive(run.outputBase));

  ExtractionSchedule schedule(*archive_, directory_, fs_, Password);
  run.schedule = &schedule;
  unsigned threads = Threads != 0 ? Threads : ProcessorCount();
  if (threads > kMaxThreads) threads = kMaxThreads;
  if (threads > 1 && directory_.entries.size() > 1) schedule.StartDecoding(threads);

  std::size_t next = 0;   // the next entry of the directory to look at
  std::size_t added = 0;  // selected entries given to the schedule
  unsigned attempt = 0;
  for (std::size_t turn = 0;;) {
    // The window fills in archive order; each name is decoded and each path built here, once.
    while (added < turn + ExtractionSchedule::kWindow && next < directory_.entries.size()) {
      const zip::Entry& entry = directory_.entries[next++];
      std::wstring name = DecodeName(entry);
      if (!IsSelected(name, entry.externalAttributes, fileMask, attributes, exclusionMask)) continue;
      OutputPath& path = run.PathOf(added);
      path.safe = MakeOutputPath(run.outputBase, name, CreateDirs, path.directory, path.file);
      // A name ending in a separator names a directory, whatever its attributes say.
      path.writesFile = path.safe && !(entry.externalAttributes & zip::kAttributeDirectory) &&
                        path.file.back() != L'\\';
      schedule.Add(entry, std::move(name), path.writesFile);
      ++added;
    }
    if (turn == added) return Status::Ok();

    schedule.BeginTurn(turn);
    EntryOutcome outcome = ExtractEntry(run, turn, attempt == 0);
    schedule.EndTurn(turn);
    const Status& status = outcome.status;
    if (status.kind() == Status::Kind::kFatal) return status;
    if (status.kind() == Status::Kind::kArchiver) {
      const FailureAnswer answer = prompts_.AskOnFailure(FailurePromptText(status.text()));
      if (answer == FailureAnswer::kAbort) return Status::Ok();
      if (answer == FailureAnswer::kRetry) {
        ++attempt;  // decoded by this thread again, from the archive
        continue;
      }
    } else if (outcome.wrote && FileExtracted) {
      FileExtracted(run.PathOf(turn).file);
    }
    attempt = 0;
    ++turn;
  }
}

// One entry, from its directory to the hand-over of its finished file for closing. decodedAhead:
// what a decoding thread made of it may be used. Never throws: a failure to allocate ends the
// entry as the fatal "Out of memory", after its file is removed.
Archiver::EntryOutcome Archiver::ExtractEntry(Run& run, std::size_t index, bool decodedAhead) {
  ExtractionSchedule& schedule = *run.schedule;
  const OutputPath& path = run.PathOf(index);
  const zip::Entry& entry = schedule.Entry(index);
  const std::wstring& name = schedule.Name(index);
  bool created = false;
  const auto fail = [&](Status status) {
    EntryOutcome outcome;
    outcome.status = status.WithObjectName(Name);
    return outcome;
  };
  try {
    if (!path.safe) return fail(Status::Archiver(kErrorUnsafeName, name));
    if (!ForceDirectories(path.directory)) return fail(Status::Archiver(kErrorCannotCreateDirectory, path.directory));
    if (!path.writesFile) return EntryOutcome();

    std::uint32_t existing = fs_.GetAttributes(path.file);
    // Something is there, maybe a file of an earlier entry (under any spelling of its name)
    // that a closing thread still has open: those are closed first.
    if (existing != FileSystem::kNoAttributes && schedule.ClosesPending()) {
      schedule.WaitForCloses();
      existing = fs_.GetAttributes(path.file);
    }
    if (existing != FileSystem::kNoAttributes && !(existing & zip::kAttributeDirectory)) {
      if (OverwriteMode == omNever) return EntryOutcome();
      if ((existing & kAttributeReadOnly) && !ReplaceReadOnly) {
        return fail(Status::Archiver(kErrorCannotCreateFile, path.file));
      }
      fs_.SetAttributes(path.file, 0);
      fs_.RemoveFile(path.file);
    }

    std::unique_ptr<OutputFile> out = fs_.CreateForWriting(path.file);
    if (!out) return fail(Status::Archiver(kErrorCannotCreateFile, path.file));
    created = true;
    bool skipped = false;
    Status status = WriteData(run, index, path.file, *out, decodedAhead, skipped);
    if (status.ok() && !skipped) {
      out->SetLastWriteTime(entry.dosDate, entry.dosTime);
      if (run.needsFlush) out->Flush();
      schedule.HandOver(std::move(out), path.file, SetAttributes, entry.externalAttributes & kSettableAttributes);
      EntryOutcome outcome;
      outcome.wrote = true;
      return outcome;
    }
    out->Close();
    out.reset();
    fs_.RemoveFile(path.file);
    return fail(status);
  } catch (...) {  // out of memory: the extraction ends, its file closed (by now) and removed
    if (created) {
      try {
        fs_.RemoveFile(path.file);
      } catch (...) {  // nothing more can be done for it
      }
    }
    EntryOutcome outcome;
    outcome.status = Status::Fatal(L"Out of memory");
    return outcome;
  }
}

// The entry's data into out: the chunks its decoding thread made, or, when none had it, its
// decoding ahead failed, or on a retry, decoded here, as one thread would, with its password
// prompts. skipped: the user cancelled the password prompt.
Status Archiver::WriteData(Run& run, std::size_t index, const std::wstring& fullPath, OutputFile& out,
                           bool decodedAhead, bool& skipped) {
  ExtractionSchedule& schedule = *run.schedule;
  std::uint64_t written = 0;
  if (decodedAhead) {
    for (;;) {
      ExtractionSchedule::ChunkLease chunk;
      const ExtractionSchedule::Delivery delivery = schedule.Next(index, chunk);
      if (delivery == ExtractionSchedule::Delivery::kComplete) return Status::Ok();
      if (delivery == ExtractionSchedule::Delivery::kDecodeYourself) break;
      if (!out.Write(chunk.data(), chunk.size())) return Status::Archiver(kErrorWriteFile, fullPath);
      written += chunk.size();
    }
  }
  if (!run.reader) run.reader = std::make_unique<zip::EntryReader>();
  zip::EntryReader& reader = *run.reader;
  const std::wstring& name = schedule.Name(index);
  Status status = reader.Begin(schedule.WriterArchive(), directory_, schedule.Entry(index), name);
  if (!status.ok()) return status;
  if (reader.IsEncrypted()) {
    while (!reader.TryPassword(Password)) {
      std::string typed;
      if (!prompts_.AskPassword(name, typed)) {
        skipped = true;  // Cancel: no error, the next entry follows
        return Status::Ok();
      }
      ReplacePassword(schedule, std::move(typed));
    }
  }
  SkippingOutput rest(out, written);
  return reader.Decode(rest, fullPath);
}

// Creates directory and every missing parent; true when it exists afterwards.
bool Archiver::ForceDirectories(const std::wstring& directory) {
  return orv::ForceDirectories(
      directory, [this](const std::wstring& path) { return fs_.GetAttributes(path); },
      [this](const std::wstring& path) { return fs_.MakeDirectory(path); });
}

// Only a different text counts as a change of the password: entries decoded ahead with the
// same text stay good.
void Archiver::ReplacePassword(ExtractionSchedule& schedule, std::string typed) {
  const bool changed = typed != Password;
  crypto::SecureWipe(Password.data(), Password.size());
  Password.assign(typed);  // a copy, so that the typed text can be wiped where it lies
  crypto::SecureWipe(typed.data(), typed.size());
  if (changed) schedule.ReplacePassword(Password);
}

}  // namespace orv
