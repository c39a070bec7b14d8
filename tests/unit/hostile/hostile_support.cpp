#include "hostile_support.h"

#include <memory>

#include "archive_error.h"
#include "unzip.h"

namespace orv::test {

namespace {

const std::wstring kWorkDir = L"C:\\Work";
const std::wstring kArchive = L"C:\\Work\\Distro.zip";
const std::wstring kBeside = L"C:\\Work\\OrvUnzip.dll";
const std::string kBesideData = "MZ the library beside the archive";

class RecordingPrompts final : public Prompts {
 public:
  RecordingPrompts(Outcome& outcome, FailureAnswer answer) : outcome_(outcome), answer_(answer) {}
  bool AskPassword(const std::wstring& entryName, std::string&) override {
    outcome_.passwordAsked.push_back(entryName);
    return false;
  }
  FailureAnswer AskOnFailure(const std::wstring& text) override {
    outcome_.failureTexts.push_back(text);
    return outcome_.failureTexts.size() > 100 ? FailureAnswer::kAbort : answer_;
  }

 private:
  Outcome& outcome_;
  FailureAnswer answer_;
};

}  // namespace

Outcome UnzipHostile(const std::string& zip, const HostileRun& run, WindowsMemoryFileSystem* fileSystem) {
  std::unique_ptr<WindowsMemoryFileSystem> own;
  if (fileSystem == nullptr) {
    own = std::make_unique<WindowsMemoryFileSystem>(kWorkDir);
    fileSystem = own.get();
  }
  WindowsMemoryFileSystem& fs = *fileSystem;
  fs.AddDirectory(kWorkDir);
  fs.AddFile(kArchive, zip, 0x21);
  fs.AddFile(kBeside, kBesideData);
  fs.AddFile(L"C:\\Windows\\win.ini", "[fonts]");
  fs.Confine(kSetupDir);
  fs.freeSpace = run.freeSpace;

  Outcome outcome;
  RecordingPrompts prompts(outcome, run.answer);
  std::map<std::wstring, std::uint64_t> completed;
  UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring& path) {
    // Its data and time are written; a closing thread may still be closing it.
    const auto* node = fs.Find(path);
    EXPECT_TRUE(node != nullptr && !node->directory) << "reported complete: " << path;
    if (node != nullptr) completed[fs.KeyOf(path)] = node->size;
  };
  outcome.result = UnzipArchive(fs, prompts, kArchive.c_str(), kSetupDir.c_str(), run.password, &observer);
  outcome.bytesWritten = fs.bytesWritten();
  outcome.violations = fs.violations().size();

  for (const std::wstring& violation : fs.violations()) ADD_FAILURE() << "violation: " << violation;
  EXPECT_EQ(fs.openInputs(), 0);
  EXPECT_EQ(fs.openOutputs(), 0);
  EXPECT_LE(outcome.failureTexts.size(), 100u) << "the failure prompt came back without end";
  const std::wstring setupKey = fs.KeyOf(kSetupDir) + L"\\";
  for (const auto& [key, node] : fs.nodes()) {
    if (key.compare(0, setupKey.size(), setupKey) != 0) continue;
    if (node.directory) continue;
    const auto it = completed.find(key);
    EXPECT_TRUE(it != completed.end()) << "left behind, never reported complete: " << node.path;
    if (it != completed.end()) {
      EXPECT_EQ(it->second, node.size) << node.path;
    }
    outcome.files[node.path.substr(kSetupDir.size() + 1)] = node.data;
  }
  const auto* archive = fs.Find(kArchive);
  EXPECT_TRUE(archive != nullptr && archive->data == zip && archive->attributes == 0x21) << "archive changed";
  const auto* beside = fs.Find(kBeside);
  EXPECT_TRUE(beside != nullptr && beside->data == kBesideData) << "file beside the archive changed";
  const auto* winIni = fs.Find(L"C:\\Windows\\win.ini");
  EXPECT_TRUE(winIni != nullptr && winIni->data == "[fonts]") << "file elsewhere on the drive changed";
  return outcome;
}

TestEntry Aes(std::string name, std::string data) {
  TestEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.aesStrength = 1;
  e.password = kRightPassword;
  return e;
}

std::wstring Prompt(int code, std::wstring_view argument) {
  return FailurePromptText(ArchiverErrorText(code, argument));
}

}  // namespace orv::test
