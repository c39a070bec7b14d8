// The archiver: opens a ZIP archive for reading and extracts its entries under a base
// directory, asking through Prompts when a password does not fit or an entry fails.
//
// Entries are decoded on up to kMaxWorkers threads at once, and each finished output file is
// closed (then given its attributes, or removed) on a small pool of closing threads, so that a
// slow close (an on-access scanner) never holds up decoding. The calling thread only decides:
// it shows every prompt, one at a time and in archive order, and reports each extracted file
// in archive order. None of it shows: the prompts, what each answer does, the files left with
// their content, times and attributes, the reports and the result are those of one entry
// after the other, whatever the timing (extraction_schedule.h says how). ExtractFiles returns
// only when every thread it started has ended and every file it opened is closed.
//
// The settings carry the names the archiver has always had; only those that matter for
// extraction change what it does (EncryptionMethod, StorePath and Zip64Mode concern adding
// entries, which this archiver never does, and are kept so that a caller can set them).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive_error.h"
#include "os/file_system.h"
#include "os/threads.h"
#include "prompts.h"
#include "zip/central_directory.h"
#include "zip/entry_reader.h"

namespace orv {

enum TZipEncryption { caNone, caAES_128, caAES_192, caAES_256 };
enum TZipStorePath { spNoPath, spRelativePath, spFullPath };
enum TZipOverwriteMode { omAlways, omNever, omPrompt };
enum TZipZip64Mode { zmDisabled, zmAuto, zmAlways };

// The file attributes an entry may select by (read-only ... temporary).
constexpr std::uint32_t kAllEntryAttributes = 0x1FF;

class Archiver {
 public:
  Archiver(FileSystem& fileSystem, Prompts& prompts);
  ~Archiver();
  Archiver(const Archiver&) = delete;
  Archiver& operator=(const Archiver&) = delete;

  std::wstring FileName;
  std::string Password;  // bytes as given; wiped when replaced and when the archiver ends
  std::wstring BaseDir;
  bool UnicodeFilenames = false;
  TZipEncryption EncryptionMethod = caNone;
  bool Recurse = true;
  bool CreateDirs = true;
  TZipStorePath StorePath = spRelativePath;
  TZipOverwriteMode OverwriteMode = omAlways;
  bool ReplaceReadOnly = true;
  bool SetAttributes = true;
  bool FlushBuffers = true;
  bool OEMFileNames = true;
  bool ExtractCorruptedFiles = false;
  TZipZip64Mode Zip64Mode = zmDisabled;
  std::wstring Name;  // the object's name, put in front of error texts when not empty
  // Decoding threads: 0 chooses one per processor, at most kMaxWorkers, at most one per entry.
  unsigned Workers = 0;
  static constexpr unsigned kMaxWorkers = 4;

  // Called with the full path of every file written completely. Optional.
  std::function<void(const std::wstring&)> FileExtracted;

  // Opens FileName for reading and reads its directory. Errors: 10, 12, or one of the
  // opening errors (damaged, not an archive, no ZIP64 end record).
  Status Open();
  bool IsOpen() const { return archive_ != nullptr; }
  // Extracts every selected entry in central-directory order. Archiver errors of an entry go
  // to the failure prompt; only a fatal error is returned.
  Status ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes,
                      const std::wstring& exclusionMask);
  void Close();

  std::size_t EntryCount() const { return directory_.entries.size(); }

 private:
  struct Run;
  struct Job;
  struct Sleeper;
  struct Worker;
  struct Closer;

  std::wstring DecodeName(const zip::Entry& entry);
  bool IsSelected(const std::wstring& name, std::uint32_t entryAttributes, const std::wstring& fileMask,
                  std::uint32_t attributes, const std::wstring& exclusionMask) const;
  // The schedule (extraction_schedule.cpp).
  Status Schedule(Run& run);
  static void WorkerMain(void* worker);
  static void CloserMain(void* closer);
  Status Coordinate(Run& run);
  Job& PrepareJob(Run& run, std::size_t index);
  bool PickJob(Run& run, std::size_t& index);
  void Work(Run& run, Worker& worker);
  bool WaitForTurn(Run& run, Job& job, Sleeper& sleeper);
  bool PrepareAhead(Run& run, Job& job, Sleeper& sleeper, bool writesFile, const std::wstring& fullPath);
  void CloseOutputs(Run& run, Sleeper& sleeper);
  void RemoveFilesAhead(Run& run) noexcept;
  // One entry (archiver.cpp).
  void ExtractEntry(Run& run, std::size_t index, zip::EntryReader& reader, InputFile& archive,
                    Sleeper* sleeper);
  bool MakeDirectories(Run& run, Job& job, const std::wstring& directory);
  bool ForceDirectories(const std::wstring& directory, std::vector<std::wstring>* made = nullptr);
  bool DirectoryExists(const std::wstring& directory);
  void ReplacePassword(Run& run, std::string typed);

  FileSystem& fs_;
  Prompts& prompts_;
  std::unique_ptr<InputFile> archive_;
  zip::CentralDirectory directory_;
};

// Wildcard match of a name against a mask: '*' any run of characters, '?' one character,
// ASCII letters compared without case. A mask without a path separator is matched against
// the name's last component: with recurse at any depth, without it at the top level only.
bool MatchesMask(std::wstring_view name, std::wstring_view mask, bool recurse);

}  // namespace orv
