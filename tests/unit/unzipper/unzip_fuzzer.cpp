// Fuzz target: the whole extraction over an archive held in memory, output files counted and
// discarded. Every prompt is answered (a password once, then Cancel; Ignore for failures), so
// that every entry of every input is decoded as far as it goes.
//   build: -DOT_BUILD_FUZZERS=ON with clang; run: unzip_fuzzer -max_total_time=60 CORPUS_DIR
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "unzip.h"

namespace {

class MemoryInput final : public orv::InputFile {
 public:
  MemoryInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Size(std::uint64_t& size) override {
    size = size_;
    return true;
  }
  bool Seek(std::uint64_t offset) override {
    if (offset > size_) return false;
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = std::min(size, size_ - position_);
    std::memcpy(buffer, data_ + position_, got);
    position_ += got;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

class NullOutput final : public orv::OutputFile {
 public:
  bool Write(const void*, std::size_t) override { return true; }
  bool SetLastWriteTime(std::uint16_t, std::uint16_t) override { return true; }
  bool Flush() override { return true; }
  bool Close() override { return true; }
};

class MemoryFileSystem final : public orv::FileSystem {
 public:
  MemoryFileSystem(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::unique_ptr<orv::InputFile> OpenForReading(const std::wstring&) override {
    return std::make_unique<MemoryInput>(data_, size_);
  }
  std::unique_ptr<orv::OutputFile> CreateForWriting(const std::wstring&) override {
    return std::make_unique<NullOutput>();
  }
  std::uint32_t GetAttributes(const std::wstring& path) override {
    if (path == L"archive.zip") return 0x20;
    return directories_.count(path) ? 0x10 : kNoAttributes;
  }
  bool SetAttributes(const std::wstring&, std::uint32_t) override { return true; }
  bool RemoveFile(const std::wstring&) override { return true; }
  bool MakeDirectory(const std::wstring& path) override { return directories_.insert(path).second; }
  bool IsRemovableDrive(const std::wstring&) override { return false; }
  std::wstring CurrentDirectory() override { return L"C:\\fuzz"; }
  std::wstring NarrowToWide(std::string_view text, orv::NarrowCodePage) override {
    return std::wstring(text.begin(), text.end());
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::set<std::wstring> directories_{L"C:\\fuzz"};
};

class AnsweringPrompts final : public orv::Prompts {
 public:
  bool AskPassword(const std::wstring&, std::string& password) override {
    if (asked_++ > 0) return false;
    password = "second";
    return true;
  }
  orv::FailureAnswer AskOnFailure(const std::wstring&) override { return orv::FailureAnswer::kIgnore; }

 private:
  int asked_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFileSystem fileSystem(data, size);
  AnsweringPrompts prompts;
  orv::UnzipArchive(fileSystem, prompts, L"archive.zip", L"C:\\fuzz\\out", "pw");
  return 0;
}
