#include "archiver.h"

#include <vector>

#include "crypto/wipe.h"
#include "extraction_schedule.h"
#include "zip/name_text.h"
#include "zip/path_check.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

constexpr std::uint32_t kAttributeReadOnly = 0x01;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveOnly(std::wstring_view path) { return path.size() == 2 && path[1] == L':'; }

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

Status Archiver::ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes,
                              const std::wstring& exclusionMask) {
  if (!archive_) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  std::wstring outputBase = BaseDir.empty() ? fs_.CurrentDirectory() : BaseDir;
  // Without a base the entries would land at the root of the current drive.
  if (outputBase.empty()) return Status::Fatal(L"Cannot determine the current directory");
  if (outputBase.back() != L'\\') outputBase += L'\\';

  Run run;
  run.outputBase = outputBase;
  // Every output path begins with the base, so one answer serves every file.
  run.needsFlush = FlushBuffers && (IsFloppyPath(outputBase) || fs_.IsRemovableDrive(outputBase));
  for (const zip::Entry& entry : directory_.entries) {
    if (IsSelected(DecodeName(entry), entry.externalAttributes, fileMask, attributes, exclusionMask)) {
      run.selected.push_back(&entry);
    }
  }
  if (run.selected.empty()) return Status::Ok();
  return Schedule(run);
}

bool OutputPathOf(const std::wstring& name, bool createDirs, std::wstring& working, std::wstring& directoryPart) {
  working = name;
  for (wchar_t& c : working) {
    if (c == L'/') c = L'\\';
  }
  if (!zip::IsSafeEntryName(working)) return false;
  const auto cut = working.rfind(L'\\');
  directoryPart = cut == std::wstring::npos ? std::wstring() : working.substr(0, cut + 1);
  if (!createDirs) {
    working.erase(0, directoryPart.size());
    directoryPart.clear();
  }
  return true;
}

// One entry, from its directory to the hand-over of its output file to a closing thread.
// sleeper is the decoding thread's, null on the calling thread, which asks for a password
// itself. Never throws: a failure to allocate ends the entry as the fatal "Out of memory".
void Archiver::ExtractEntry(Run& run, std::size_t index, zip::EntryReader& reader, InputFile& archive,
                            Sleeper* sleeper) {
  Job& job = run.JobAt(index);
  // Neither allocates: the status is made by the caller, its object name added here.
  const auto finish = [&](Status status, bool abandoned = false) {
    Status named;
    bool outOfMemory = false;
    try {
      named = status.WithObjectName(Name);
    } catch (...) {
      outOfMemory = true;
    }
    MutexLock lock(run.mutex);
    job.status = std::move(named);
    job.outOfMemory = outOfMemory;
    job.abandoned = abandoned;
    job.state = JobState::kDone;
    if (outOfMemory || !job.status.ok()) job.undecided = true;
    run.WakeAll();
  };
  try {
    const zip::Entry& entry = *job.entry;
    const std::wstring& name = job.name;
    const std::wstring& outputBase = run.outputBase;
    std::wstring working, directoryPart;
    if (!OutputPathOf(name, CreateDirs, working, directoryPart)) {
      return finish(Status::Archiver(kErrorUnsafeName, name));
    }
    // A name ending in a separator names a directory, whatever its attributes say.
    const bool isDirectory = (entry.externalAttributes & zip::kAttributeDirectory) != 0 ||
                             (!working.empty() && working.back() == L'\\');
    const bool writesFile = !isDirectory && !working.empty();
    const std::wstring fullPath = outputBase + working;
    if (sleeper != nullptr && job.ahead && !PrepareAhead(run, job, *sleeper, writesFile, fullPath)) {
      return finish(Status::Ok(), true);
    }
    if (!MakeDirectories(run, job, outputBase + directoryPart)) {
      return finish(Status::Archiver(kErrorCannotCreateDirectory, outputBase + directoryPart));
    }
    if (!writesFile) return finish(Status::Ok());

    const std::uint32_t existing = fs_.GetAttributes(fullPath);
    if (existing != FileSystem::kNoAttributes && !(existing & zip::kAttributeDirectory)) {
      if (OverwriteMode == omNever) return finish(Status::Ok());
      if ((existing & kAttributeReadOnly) && !ReplaceReadOnly) {
        return finish(Status::Archiver(kErrorCannotCreateFile, fullPath));
      }
      fs_.SetAttributes(fullPath, 0);
      fs_.RemoveFile(fullPath);
    }

    job.fullPath = fullPath;  // before the file exists: removing it must not need to allocate
    std::unique_ptr<OutputFile> out = fs_.CreateForWriting(fullPath);
    if (!out) return finish(Status::Archiver(kErrorCannotCreateFile, fullPath));
    job.fileOnDisk = true;

    bool skipped = false;
    Status status = reader.Begin(archive, directory_, entry, name);
    if (status.ok() && reader.IsEncrypted()) {
      std::string password;
      unsigned generation;
      {
        MutexLock lock(run.mutex);
        password = Password;
        generation = run.passwordGeneration;
      }
      for (;;) {
        const bool fits = reader.TryPassword(password);
        crypto::SecureWipe(password.data(), password.size());
        if (fits) {
          MutexLock lock(run.mutex);
          job.usedPassword = true;
          job.usedGeneration = generation;
          break;
        }
        if (sleeper == nullptr) {
          std::string typed;
          if (!prompts_.AskPassword(name, typed)) {
            skipped = true;  // Cancel: no error, the next entry follows
            break;
          }
          MutexLock lock(run.mutex);
          ReplacePassword(run, std::move(typed));
          password = Password;
          generation = run.passwordGeneration;
          continue;
        }
        // The calling thread answers when this entry's turn comes: after a new password was
        // typed for an earlier entry, with "check again" and no prompt. A run that ends
        // meanwhile answers "skip".
        MutexLock lock(run.mutex);
        job.triedGeneration = generation;
        job.reply = PasswordReply::kNone;
        job.state = JobState::kNeedsPassword;
        job.undecided = true;
        run.WakeAll();
        while (job.reply == PasswordReply::kNone && !run.finished) run.WaitOn(*sleeper);
        job.state = JobState::kRunning;
        if (job.reply != PasswordReply::kRecheck) {
          skipped = true;
          break;
        }
        password = Password;
        generation = run.passwordGeneration;
      }
    }
    if (status.ok() && !skipped) status = reader.Decode(*out, fullPath);
    if (status.ok() && !skipped) {
      out->SetLastWriteTime(entry.dosDate, entry.dosTime);
      if (run.needsFlush) out->Flush();
    }
    Status named = status.WithObjectName(Name);

    // From here on nothing allocates: the file is handed over whole or not at all.
    MutexLock lock(run.mutex);
    while (run.closeCount == kMaxPendingCloses) run.WaitOn(sleeper != nullptr ? *sleeper : run.caller);
    job.status = std::move(named);
    job.skipped = skipped;
    job.out = std::move(out);
    job.state = JobState::kClosing;
    if (!job.status.ok()) job.undecided = true;
    run.closeQueue[(run.closeHead + run.closeCount++) % kMaxPendingCloses] = index;
    run.WakeAll();
  } catch (...) {  // out of memory: the extraction ends, as it would one entry after the other
    // The output file, a local of the block, is closed by now.
    if (job.fileOnDisk) {
      try {
        if (fs_.RemoveFile(job.fullPath)) job.fileOnDisk = false;
      } catch (...) {  // left for the end of the run, which removes it again
      }
    }
    MutexLock lock(run.mutex);
    job.outOfMemory = true;
    job.state = JobState::kDone;
    job.undecided = true;
    run.WakeAll();
  }
}

// ForceDirectories for a job, one thread at a time. A job ahead records what it made, to be
// undone should the run end before its turn; jobs waiting for a directory are woken.
bool Archiver::MakeDirectories(Run& run, Job& job, const std::wstring& directory) {
  std::vector<std::wstring> madeAtItsTurn;
  bool made, madeAny;
  {
    MutexLock directories(run.directoryMutex);
    std::vector<std::wstring>& list = job.ahead ? job.madeDirectories : madeAtItsTurn;
    const std::size_t before = list.size();
    made = ForceDirectories(directory, &list);
    madeAny = list.size() != before;
  }
  if (madeAny) {
    MutexLock lock(run.mutex);
    run.WakeAll();
  }
  return made;
}

// Creates directory and every missing parent; true when it exists afterwards. made, when
// given, receives the directories made (before each is made: none made goes unrecorded).
bool Archiver::ForceDirectories(const std::wstring& directory, std::vector<std::wstring>* made) {
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
    if (made != nullptr) made->push_back(*it);
    if (!fs_.MakeDirectory(*it)) {
      if (made != nullptr) made->pop_back();
      const std::uint32_t attributes = fs_.GetAttributes(*it);  // made meanwhile by someone else?
      if (attributes == FileSystem::kNoAttributes || !(attributes & zip::kAttributeDirectory)) return false;
    }
  }
  return true;
}

// True when directory exists as a directory (a drive's root always does).
bool Archiver::DirectoryExists(const std::wstring& directory) {
  std::wstring path = directory;
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  if (path.empty() || IsDriveOnly(path)) return true;
  const std::uint32_t attributes = fs_.GetAttributes(path);
  return attributes != FileSystem::kNoAttributes && (attributes & zip::kAttributeDirectory) != 0;
}

// With the run's mutex held. Only a different text counts as a change of the password.
void Archiver::ReplacePassword(Run& run, std::string typed) {
  if (typed != Password) ++run.passwordGeneration;
  crypto::SecureWipe(Password.data(), Password.size());
  Password.assign(typed);  // a copy, so that the typed text can be wiped where it lies
  crypto::SecureWipe(typed.data(), typed.size());
}

}  // namespace orv
