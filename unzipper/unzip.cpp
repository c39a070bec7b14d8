#include "unzip.h"

#include <exception>
#include <memory>
#include <string_view>

#include "archiver.h"

namespace orv {

namespace {

// Any copy of the text is made inside the guard: reporting must not throw out of the call.
void Report(const UnzipObserver* observer, std::wstring_view text) noexcept {
  if (observer == nullptr || !observer->failed) return;
  try {
    observer->failed(std::wstring(text));
  } catch (...) {
  }
}

}  // namespace

std::int32_t UnzipArchive(FileSystem& fileSystem, Prompts& prompts, const wchar_t* archivePath,
                          const wchar_t* destination, const char* password,
                          const UnzipObserver* observer, unsigned threads) noexcept {
  try {
    Archiver archiver(fileSystem, prompts);
    archiver.FileName = archivePath != nullptr ? archivePath : L"";
    archiver.Password = password != nullptr ? password : "";
    archiver.BaseDir = destination != nullptr ? destination : L"";
    archiver.UnicodeFilenames = true;
    archiver.Threads = threads;
    if (observer != nullptr) archiver.FileExtracted = observer->fileExtracted;

    Status status = archiver.Open();
    if (status.ok()) status = archiver.ExtractFiles(L"*", kAllEntryAttributes, L"");
    if (!status.ok()) {
      Report(observer, status.text());
      return kUnzipFailed;
    }
    return kUnzipCompleted;
  } catch (const std::bad_alloc&) {
    Report(observer, L"Out of memory");
  } catch (...) {
    Report(observer, L"Unexpected error");
  }
  return kUnzipFailed;
}

}  // namespace orv
