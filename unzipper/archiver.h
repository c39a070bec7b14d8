// The archiver: opens a ZIP archive for reading and extracts its entries under a base
// directory, asking through Prompts when a password does not fit or an entry fails.
//
// The calling thread does everything an extraction changes on disk, one entry after the other
// in central-directory order, and asks every question; other threads only decode entries
// ahead of it into memory and close the files it has finished (extraction_schedule.h). So the
// prompts, what each answer does, the files left with their content, times and attributes,
// the reports and the result are those of one thread, whatever the timing and whatever number
// of threads the system lets start. ExtractFiles returns only when every thread it started has
// ended and every file it opened is closed.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive_error.h"
#include "os/file_system.h"
#include "prompts.h"
#include "zip/central_directory.h"

namespace orv {

class ExtractionSchedule;

enum TZipOverwriteMode { omAlways, omNever };

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
  bool Recurse = true;
  bool CreateDirs = true;
  TZipOverwriteMode OverwriteMode = omAlways;
  bool ReplaceReadOnly = true;
  bool SetAttributes = true;
  bool FlushBuffers = true;
  bool OEMFileNames = true;
  std::wstring Name;  // the object's name, put in front of error texts when not empty
  // Threads that decode: 0 one per processor (at most kMaxThreads); 1 the calling thread
  // alone, one entry after the other; N more: N threads decode ahead of the calling thread.
  unsigned Threads = 0;
  static constexpr unsigned kMaxThreads = 4;

  // Called with the full path of every file written completely (its data and time), in
  // archive order; its close and attributes may still follow on a closing thread. Optional.
  std::function<void(const std::wstring&)> FileExtracted;

  // Opens FileName for reading and reads its directory. Errors: 10, 12, or one of the
  // opening errors (damaged, not an archive, no ZIP64 end record).
  Status Open();
  // Extracts every selected entry in central-directory order. Archiver errors of an entry go
  // to the failure prompt; only a fatal error is returned.
  Status ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes, const std::wstring& exclusionMask);
  void Close();

 private:
  struct Run;
  struct OutputPath;
  struct EntryOutcome;

  std::wstring DecodeName(const zip::Entry& entry);
  bool IsSelected(const std::wstring& name, std::uint32_t entryAttributes, const std::wstring& fileMask,
                  std::uint32_t attributes, const std::wstring& exclusionMask) const;
  EntryOutcome ExtractEntry(Run& run, std::size_t index, bool decodedAhead);
  Status WriteData(Run& run, std::size_t index, const std::wstring& fullPath, OutputFile& out, bool decodedAhead,
                   bool& skipped);
  bool ForceDirectories(const std::wstring& directory);
  void ReplacePassword(ExtractionSchedule& schedule, std::string typed);

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
