#include "unzip_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <new>
#include <sstream>

#include "zip/name_text.h"

namespace orv::test {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "orvunzip-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Read-only files and directories must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> ListFiles(const fs::path& root) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(root, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), root).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::wstring Wide(const fs::path& path) { return zip::Utf8ToWide(path.string()); }

bool ScriptedPrompts::AskPassword(const std::wstring& entryName, std::string& password) {
  passwordAskedFor.push_back(entryName);
  if (passwords.empty()) return false;
  const std::optional<std::string> answer = passwords.front();
  passwords.pop_front();
  if (!answer) return false;
  password = *answer;
  return true;
}

FailureAnswer ScriptedPrompts::AskOnFailure(const std::wstring& text) {
  failureTexts.push_back(text);
  if (failures.empty()) return FailureAnswer::kAbort;
  const FailureAnswer answer = failures.front();
  failures.pop_front();
  return answer;
}

namespace {

class CountingInput final : public InputFile {
 public:
  CountingInput(std::unique_ptr<InputFile> real, FaultyFileSystem& owner) : real_(std::move(real)), owner_(owner) {}
  bool Size(std::uint64_t& size) override { return real_->Size(size); }
  bool Seek(std::uint64_t offset) override { return real_->Seek(offset); }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    if (owner_.bytesRead + size > owner_.failReadsAfter) return false;
    if (owner_.readFault && owner_.readFault(size)) return false;
    const bool ok = real_->Read(buffer, size, got);
    owner_.bytesRead += got;
    return ok;
  }

 private:
  std::unique_ptr<InputFile> real_;
  FaultyFileSystem& owner_;
};

class CountingOutput final : public OutputFile {
 public:
  CountingOutput(std::unique_ptr<OutputFile> real, FaultyFileSystem& owner, FaultyFileSystem::OutputFault fault)
      : real_(std::move(real)), owner_(owner), fault_(fault) {
    ++owner_.openOutputs;
  }
  ~CountingOutput() override { Close(); }
  bool Write(const void* data, std::size_t size) override {
    if (fault_.throwOnWrite) throw std::bad_alloc();
    if (fault_.failWrite || written_ + size > owner_.failWritesAfter) return false;
    if (!real_->Write(data, size)) return false;
    written_ += size;
    std::uint64_t largest = owner_.largestWrite.load();
    while (largest < written_ && !owner_.largestWrite.compare_exchange_weak(largest, written_)) {
    }
    return true;
  }
  bool SetLastWriteTime(std::uint16_t date, std::uint16_t time) override { return real_->SetLastWriteTime(date, time); }
  bool Flush() override { return real_->Flush(); }
  bool Close() override {
    if (closed_) return true;
    closed_ = true;
    if (fault_.closeDelayMicroseconds != 0) ::usleep(fault_.closeDelayMicroseconds);
    const bool ok = real_->Close();
    --owner_.openOutputs;
    return ok && !fault_.failClose;
  }

 private:
  std::unique_ptr<OutputFile> real_;
  FaultyFileSystem& owner_;
  FaultyFileSystem::OutputFault fault_;
  std::uint64_t written_ = 0;
  bool closed_ = false;
};

}  // namespace

FaultyFileSystem::FaultyFileSystem() : owned_(CreatePlatformFileSystem()), real_(owned_.get()) {}
FaultyFileSystem::FaultyFileSystem(FileSystem& underlying) : real_(&underlying) {}

std::unique_ptr<InputFile> FaultyFileSystem::OpenForReading(const std::wstring& path) {
  auto file = real_->OpenForReading(path);
  if (!file) return nullptr;
  return std::make_unique<CountingInput>(std::move(file), *this);
}

std::unique_ptr<OutputFile> FaultyFileSystem::CreateForWriting(const std::wstring& path) {
  auto file = real_->CreateForWriting(path);
  if (!file) return nullptr;
  const OutputFault fault = outputFault ? outputFault(path) : OutputFault();
  if (fault.createDelayMicroseconds != 0) ::usleep(fault.createDelayMicroseconds);
  return std::make_unique<CountingOutput>(std::move(file), *this, fault);
}

}  // namespace orv::test
