// The whole extraction as the export runs it: archives built by the test writer, extracted
// into a scratch directory through the platform file system, prompts answered by a script.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "archive_error.h"
#include "test_zip_writer.h"
#include "unzip.h"
#include "unzip_test_support.h"
#include "zip/entry_reader.h"
#include "zip/name_text.h"

namespace orv::test {
namespace {

constexpr std::size_t kBlock = zip::EntryReader::kBlockSize;

std::string Pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    // Half noise, half text: deflate has work to do but still shrinks it.
    data[i] = (i / 1000) % 2 ? static_cast<char>(x >> 24) : static_cast<char>('a' + (i % 26));
  }
  return data;
}

TestEntry Aes(std::string name, std::string data, std::string password = "right", int strength = 1) {
  TestEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.aesStrength = strength;
  e.password = std::move(password);
  return e;
}

std::wstring ErrorPrompt(int code, std::wstring_view argument = {}) {
  return FailurePromptText(ArchiverErrorText(code, argument));
}

class UnzipTest : public ::testing::Test {
 protected:
  std::int32_t Unzip(const std::string& zipBytes, const char* password, const fs::path& destination) {
    WriteFile(archive, zipBytes);
    return UnzipArchive(files, prompts, Wide(archive).c_str(), Wide(destination).c_str(), password, nullptr);
  }
  std::int32_t Unzip(const std::string& zipBytes, const char* password = "right") {
    return Unzip(zipBytes, password, out);
  }
  // The Windows path the archiver names in its texts for a file under out.
  std::wstring OutPath(const std::wstring& relative) const { return Wide(out) + L"\\" + relative; }

  ScratchDir dir;
  fs::path archive = dir / "a.zip";
  fs::path out = dir / "out";
  FaultyFileSystem files;
  ScriptedPrompts prompts;
};

// --- Round trips ---------------------------------------------------------------------------

struct Variant {
  std::uint16_t method;
  int strength;
  std::uint16_t vendor;
};

class RoundTrip : public UnzipTest, public ::testing::WithParamInterface<Variant> {};

TEST_P(RoundTrip, EverySizeAroundTheBlockComesBackByteForByte) {
  const Variant v = GetParam();
  std::vector<TestEntry> entries;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 17}) {
    TestEntry e = Aes("f" + std::to_string(size) + ".bin", Pattern(size, static_cast<unsigned>(size)), "right", v.strength);
    e.method = v.method;
    e.aesVendor = v.vendor;
    entries.push_back(e);
  }
  EXPECT_EQ(Unzip(BuildZip(entries)), kUnzipCompleted);
  for (const TestEntry& e : entries) EXPECT_EQ(ReadFile(out / e.name), e.data) << e.name;
  EXPECT_TRUE(prompts.passwordAskedFor.empty());
  EXPECT_TRUE(prompts.failureTexts.empty());
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, RoundTrip,
                         ::testing::Values(Variant{0, 0, 2}, Variant{8, 0, 2}, Variant{0, 1, 2}, Variant{8, 1, 2},
                                           Variant{0, 2, 2}, Variant{8, 2, 2}, Variant{0, 3, 2}, Variant{8, 3, 2},
                                           Variant{8, 1, 1}, Variant{0, 3, 1}),
                         [](const auto& param) {
                           return std::string(param.param.method ? "Deflate" : "Stored") + "Aes" +
                                  std::to_string(param.param.strength) + "Ae" + std::to_string(param.param.vendor);
                         });

TEST_F(UnzipTest, DirectoriesAreCreatedFromNamesAndDirectoryEntries) {
  TestEntry emptyDir;
  emptyDir.name = "empty/";
  emptyDir.externalAttributes = 0x10;
  emptyDir.method = 0;
  TestEntry backslashDir;  // no directory attribute, but a name ending in a separator
  backslashDir.name = "win\\";
  backslashDir.externalAttributes = 0;
  backslashDir.method = 0;
  out = dir / "not" / "yet" / "there";
  EXPECT_EQ(Unzip(BuildZip({Aes("x/y/z.txt", "deep"), emptyDir, backslashDir, Aes("top.txt", "top")})),
            kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "x/y/z.txt"), "deep");
  EXPECT_TRUE(fs::is_directory(out / "empty"));
  EXPECT_TRUE(fs::is_directory(out / "win"));
  EXPECT_TRUE(prompts.failureTexts.empty());
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"top.txt", "x/y/z.txt"}));
}

TEST_F(UnzipTest, DestinationWithOrWithoutTrailingSeparatorGivesTheSamePaths) {
  const std::string zipBytes = BuildZip({Aes("sub/a.txt", "A"), Aes("b.txt", "B")});
  std::vector<std::wstring> seen[3];
  int run = 0;
  for (const std::string suffix : {"", "\\", "/"}) {
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) { seen[run].push_back(path); };
    WriteFile(archive, zipBytes);
    const std::wstring destination = Wide(out) + zip::Utf8ToWide(suffix);
    EXPECT_EQ(UnzipArchive(files, prompts, Wide(archive).c_str(), destination.c_str(), "right", &observer),
              kUnzipCompleted);
    EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"b.txt", "sub/a.txt"}));
    fs::remove_all(out);
    ++run;
  }
  EXPECT_EQ(seen[0], (std::vector<std::wstring>{OutPath(L"sub\\a.txt"), OutPath(L"b.txt")}));
  EXPECT_EQ(seen[1], seen[0]);
}

TEST_F(UnzipTest, EmptyDestinationMeansTheCurrentDirectory) {
  fs::create_directories(out);
  const fs::path previous = fs::current_path();
  fs::current_path(out);
  WriteFile(archive, BuildZip({Aes("here.txt", "here")}));
  const std::int32_t result = UnzipArchive(files, prompts, Wide(archive).c_str(), L"", "right");
  const std::int32_t nullResult = UnzipArchive(files, prompts, Wide(archive).c_str(), nullptr, "right");
  fs::current_path(previous);
  EXPECT_EQ(result, kUnzipCompleted);
  EXPECT_EQ(nullResult, kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "here.txt"), "here");
}

TEST_F(UnzipTest, ExistingFilesAreReplacedAlsoWhenReadOnly) {
  WriteFile(out / "a.txt", "old content that is longer");
  fs::permissions(out / "a.txt", fs::perms::owner_read);
  EXPECT_EQ(Unzip(BuildZip({Aes("a.txt", "new")})), kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "a.txt"), "new");
  EXPECT_NE(fs::status(out / "a.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(UnzipTest, EntryAttributesAndDosTimeAreApplied) {
  TestEntry readOnly = Aes("ro.txt", "r");
  readOnly.externalAttributes = 0x21;
  TestEntry unixMade = Aes("unix.txt", "u");
  unixMade.externalAttributes = 0x81A48020;  // mode in the upper half, flag 0x8000
  EXPECT_EQ(Unzip(BuildZip({readOnly, unixMade})), kUnzipCompleted);
  EXPECT_EQ(fs::status(out / "ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_NE(fs::status(out / "unix.txt").permissions() & fs::perms::owner_write, fs::perms::none);

  struct tm local {};
  local.tm_year = 2024 - 1900, local.tm_mon = 2, local.tm_mday = 14;
  local.tm_hour = 15, local.tm_min = 9, local.tm_sec = 26, local.tm_isdst = -1;
  struct stat st {};
  ASSERT_EQ(::stat((out / "unix.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, ::mktime(&local));
}

TEST_F(UnzipTest, NamesAreUtf8WhenFlaggedAndOemOtherwise) {
  TestEntry oem = Aes("\x81" "ber.txt", "oem");
  oem.utf8 = false;
  EXPECT_EQ(Unzip(BuildZip({Aes("Languages/Fran\xC3\xA7" "ais.lng", "utf8"), oem})), kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "Languages/Fran\xC3\xA7" "ais.lng"), "utf8");
  EXPECT_EQ(ReadFile(out / "\xC3\xBC" "ber.txt"), "oem");
}

TEST_F(UnzipTest, ArchiveWithStubAndCommentAndZip64Records) {
  ArchiveOptions stub;
  stub.prefix = "MZ-this-is-a-stub";
  stub.comment = "a comment";
  EXPECT_EQ(Unzip(BuildZip({Aes("s.txt", "stub")}, stub)), kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "s.txt"), "stub");
  ArchiveOptions zip64;
  zip64.zip64 = true;
  EXPECT_EQ(Unzip(BuildZip({Aes("z.txt", Pattern(kBlock + 5, 7))}, zip64)), kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "z.txt"), Pattern(kBlock + 5, 7));
}

// --- Passwords -----------------------------------------------------------------------------

TEST_F(UnzipTest, ATypedPasswordServesThatEntryAndEveryLaterOne) {
  prompts.passwords = {std::string("still wrong"), std::string("right")};
  EXPECT_EQ(Unzip(BuildZip({Aes("one.txt", "1"), Aes("dir/two.txt", "2"), Aes("three.txt", "3")}), "wrong"),
            kUnzipCompleted);
  EXPECT_EQ(prompts.passwordAskedFor, (std::vector<std::wstring>{L"one.txt", L"one.txt"}));
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"dir/two.txt", "one.txt", "three.txt"}));
}

TEST_F(UnzipTest, CancelOnEveryPromptLeavesNoFilesAndStillCompletes) {
  WriteFile(out / "two.txt", "was here before");
  EXPECT_EQ(Unzip(BuildZip({Aes("one.txt", "1"), Aes("two.txt", "2")}), "wrong"), kUnzipCompleted);
  EXPECT_EQ(prompts.passwordAskedFor, (std::vector<std::wstring>{L"one.txt", L"two.txt"}));  // stored names
  EXPECT_TRUE(ListFiles(out).empty());
  EXPECT_TRUE(prompts.failureTexts.empty());
}

TEST_F(UnzipTest, EmptyAndLongPasswordsArePasswords) {
  const std::string longPassword(100, 'p');  // longer than the HMAC block: hashed first
  EXPECT_EQ(Unzip(BuildZip({Aes("e.txt", "empty", "")}), nullptr), kUnzipCompleted);
  EXPECT_EQ(Unzip(BuildZip({Aes("l.txt", "long", longPassword, 3)}), longPassword.c_str()), kUnzipCompleted);
  EXPECT_EQ(ReadFile(out / "e.txt"), "empty");
  EXPECT_EQ(ReadFile(out / "l.txt"), "long");
  EXPECT_TRUE(prompts.passwordAskedFor.empty());
}

// --- Integrity -----------------------------------------------------------------------------

TEST_F(UnzipTest, CorruptedAuthenticationCodeIgnoredLeavesNoFileForThatEntry) {
  TestEntry bad = Aes("bad.txt", Pattern(5000, 1));
  bad.corruptMac = true;
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({bad, Aes("good.txt", "good")})), kUnzipCompleted);
  ASSERT_EQ(prompts.failureTexts.size(), 1u);
  EXPECT_EQ(prompts.failureTexts[0],
            L"Invalid size or check sum of file or unsupported compression format - Native error: 00008. "
            L"File processing error, possibly disk is full");
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"good.txt"}));
}

TEST_F(UnzipTest, RetryRepeatsTheEntryAndAbortEndsTheExtractionNormally) {
  TestEntry bad = Aes("bad.txt", "data");
  bad.corruptMac = true;
  prompts.failures = {FailureAnswer::kRetry, FailureAnswer::kRetry, FailureAnswer::kAbort};
  EXPECT_EQ(Unzip(BuildZip({Aes("first.txt", "1"), bad, Aes("never.txt", "n")})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts.size(), 3u);
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"first.txt"}));
}

TEST_F(UnzipTest, Ae1IsCheckedByCrcAndAe2IsNot) {
  TestEntry ae1 = Aes("ae1.txt", "payload");
  ae1.aesVendor = 1;
  ae1.crc = test::Crc32("payload") ^ 1;
  TestEntry ae2 = Aes("ae2.txt", "payload");  // CRC field 0, as WinZip writes AE-2
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({ae1, ae2})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, (std::vector<std::wstring>{ErrorPrompt(kErrorCorruptData)}));
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"ae2.txt"}));
}

TEST_F(UnzipTest, AuthenticationCodeIsCheckedForAe1AndForEmptyEntries) {
  TestEntry ae1 = Aes("ae1.txt", "payload");
  ae1.aesVendor = 1;
  ae1.corruptMac = true;  // right CRC, wrong code
  TestEntry empty = Aes("empty.txt", "");
  empty.method = 0;
  empty.corruptMac = true;
  prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({ae1, empty})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts.size(), 2u);
  EXPECT_TRUE(ListFiles(out).empty());
}

TEST_F(UnzipTest, CiphertextAfterTheDeflateStreamIsAuthenticatedToo) {
  TestEntry e = Aes("t.txt", "text text text");
  e.afterStream = "trailing";
  std::string zipBytes = BuildZip({e});
  EXPECT_EQ(Unzip(zipBytes), kUnzipCompleted);  // intact: the trailing bytes are harmless
  EXPECT_EQ(ReadFile(out / "t.txt"), "text text text");
  // Flip the last ciphertext byte, just in front of the 10-byte code: only the HMAC sees it.
  const std::size_t dataStart = 30 + e.name.size() + 11;
  const std::size_t macStart = dataStart + 8 + 2 + RawDeflate(e.data).size() + e.afterStream.size();
  zipBytes[macStart - 1] ^= 0x01;
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(zipBytes), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, (std::vector<std::wstring>{ErrorPrompt(kErrorCorruptData)}));
  EXPECT_FALSE(fs::exists(out / "t.txt"));
}

TEST_F(UnzipTest, UnencryptedEntriesAreCheckedByCrcAndStream) {
  TestEntry crc;
  crc.name = "crc.txt";
  crc.data = "plain";
  crc.crc = 0x12345678;
  TestEntry garbage;
  garbage.name = "garbage.txt";
  garbage.data = "x";
  garbage.compressed = std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6);
  TestEntry cut;
  cut.name = "cut.txt";
  cut.data = Pattern(100000, 3);
  cut.compressed = RawDeflate(cut.data).substr(0, 1000);
  prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({crc, garbage, cut})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>(3, ErrorPrompt(kErrorCorruptData)));
  EXPECT_TRUE(ListFiles(out).empty());
}

TEST_F(UnzipTest, StoredEntriesAreCheckedLikeDeflatedOnes) {
  TestEntry plain;
  plain.name = "plain.txt";
  plain.data = "stored as is";
  plain.method = 0;
  plain.crc = test::Crc32("stored as is") ^ 0x80;
  TestEntry ae1 = Aes("ae1.bin", "stored and encrypted");
  ae1.method = 0;
  ae1.aesVendor = 1;
  ae1.crc = test::Crc32("stored and encrypted") ^ 0x80;  // right code, wrong CRC
  TestEntry ae2 = Aes("ae2.bin", "stored and encrypted");
  ae2.method = 0;
  ae2.corruptMac = true;
  TestEntry good = Aes("good.bin", "stored and intact");
  good.method = 0;
  prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({plain, ae1, ae2, good})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>(3, ErrorPrompt(kErrorCorruptData)));
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"good.bin"}));
}

TEST_F(UnzipTest, OutputStopsAtTheDeclaredSize) {
  TestEntry bomb = Aes("bomb.bin", std::string(8 * kBlock, '\0'));
  bomb.declaredSize = 1000;
  TestEntry stored = Aes("stored.bin", Pattern(5000, 2));
  stored.method = 0;
  stored.declaredSize = 100;
  TestEntry shortStream = Aes("short.bin", "abc");
  shortStream.declaredSize = 4;
  prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({bomb, stored, shortStream})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>(3, ErrorPrompt(kErrorCorruptData)));
  EXPECT_LE(files.largestWrite.load(), 1000u);
  EXPECT_TRUE(ListFiles(out).empty());
}

TEST_F(UnzipTest, MethodsAndEncryptionsThatCannotBeDecoded) {
  TestEntry deflate64 = Aes("d64aes.bin", "x");
  deflate64.method = 9;
  deflate64.compressed = "not really deflate64";
  TestEntry plain64;
  plain64.name = "d64.bin";
  plain64.method = 9;
  TestEntry bzip2 = Aes("bz.bin", "x");
  bzip2.method = 12;
  TestEntry strength4 = Aes("s4.bin", "x", "right", 4);
  TestEntry zipCrypto;
  zipCrypto.name = "zc.bin";
  zipCrypto.extraFlags = 0x0001;
  TestEntry strong;
  strong.name = "strong.bin";
  strong.extraFlags = 0x0041;
  prompts.failures = std::deque<FailureAnswer>(6, FailureAnswer::kIgnore);
  EXPECT_EQ(Unzip(BuildZip({deflate64, plain64, bzip2, strength4, zipCrypto, strong})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts,
            (std::vector<std::wstring>{ErrorPrompt(kErrorDeflate64), ErrorPrompt(kErrorDeflate64),
                                       ErrorPrompt(kErrorCorruptData), ErrorPrompt(kErrorCorruptData),
                                       ErrorPrompt(kErrorUnsupportedEncryption, L"zc.bin"),
                                       ErrorPrompt(kErrorUnsupportedEncryption, L"strong.bin")}));
  EXPECT_TRUE(prompts.passwordAskedFor.empty());
  EXPECT_TRUE(ListFiles(out).empty());
}

// --- Opening -------------------------------------------------------------------------------

TEST_F(UnzipTest, AnArchiveThatCannotBeOpenedGivesZeroAndNoPrompt) {
  const std::string good = BuildZip({Aes("a.txt", Pattern(3000, 5)), Aes("b.txt", "b")});
  std::vector<std::wstring> failures;
  UnzipObserver observer;
  observer.failed = [&](const std::wstring& text) { failures.push_back(text); };
  const auto run = [&](const wchar_t* path) {
    return UnzipArchive(files, prompts, path, Wide(out).c_str(), "right", &observer);
  };
  EXPECT_EQ(run(Wide(dir / "missing.zip").c_str()), kUnzipFailed);
  EXPECT_EQ(run(L""), kUnzipFailed);
  EXPECT_EQ(run(nullptr), kUnzipFailed);
  EXPECT_EQ(run(Wide(dir.path()).c_str()), kUnzipFailed);  // a directory
  EXPECT_EQ(failures[0], ArchiverErrorText(kErrorFileNotFound, Wide(dir / "missing.zip")));
  EXPECT_EQ(failures[1], ArchiverErrorText(kErrorBlankFileName, L""));
  EXPECT_EQ(Unzip(""), kUnzipFailed);
  EXPECT_EQ(Unzip("this is no zip archive at all, but a text file"), kUnzipFailed);
  EXPECT_EQ(Unzip(good.substr(0, good.size() / 2)), kUnzipFailed);
  EXPECT_EQ(Unzip(good.substr(0, good.size() - 1)), kUnzipFailed);
  EXPECT_TRUE(prompts.passwordAskedFor.empty());
  EXPECT_TRUE(prompts.failureTexts.empty());
  EXPECT_FALSE(fs::exists(out));
}

// --- Names and the file system -------------------------------------------------------------

TEST_F(UnzipTest, HostileNamesAreRefusedAndNothingIsWrittenOutsideTheDestination) {
  const std::vector<std::string> hostile = {"../evil1.txt", "a/../../evil2.txt", "/tmp/evil3.txt",
                                            "C:evil4.txt", "\\\\server\\share\\evil5.txt", "\\evil6.txt",
                                            "x.txt:stream", "sub/NUL", "...\\evil7.txt"};
  std::vector<TestEntry> entries;
  for (const std::string& name : hostile) entries.push_back(Aes(name, "evil"));
  entries.push_back(Aes("good.txt", "good"));
  prompts.failures = std::deque<FailureAnswer>(hostile.size(), FailureAnswer::kIgnore);
  out = dir / "deep" / "out";
  EXPECT_EQ(Unzip(BuildZip(entries)), kUnzipCompleted);
  ASSERT_EQ(prompts.failureTexts.size(), hostile.size());
  for (std::size_t i = 0; i < hostile.size(); ++i) {
    EXPECT_EQ(prompts.failureTexts[i], ErrorPrompt(kErrorUnsafeName, zip::Utf8ToWide(hostile[i])));
  }
  EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"a.zip", "deep/out/good.txt"}));
  EXPECT_FALSE(fs::exists("/tmp/evil3.txt"));
}

TEST_F(UnzipTest, FilesAndDirectoriesThatCannotBeCreated) {
  fs::create_directories(out / "a.txt" / "inside");  // a directory where the file should go
  WriteFile(out / "sub", "a file where the directory should go");
  prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({Aes("a.txt", "a"), Aes("sub/b.txt", "b"), Aes("c.txt", "c")})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts,
            (std::vector<std::wstring>{ErrorPrompt(kErrorCannotCreateFile, OutPath(L"a.txt")),
                                       ErrorPrompt(kErrorCannotCreateDirectory, OutPath(L"sub\\"))}));
  EXPECT_EQ(ReadFile(out / "c.txt"), "c");
}

TEST_F(UnzipTest, AFullDiskIsAnArchiverErrorAndTheFileIsRemoved) {
  files.failWritesAfter = kBlock;
  prompts.failures = {FailureAnswer::kRetry, FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({Aes("big.bin", Pattern(3 * kBlock, 9)), Aes("small.txt", "s")})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>(2, ErrorPrompt(kErrorWriteFile, OutPath(L"big.bin"))));
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"small.txt"}));
}

TEST_F(UnzipTest, AReadErrorInsideAnEntryIsAnArchiverError) {
  TestEntry stored = Aes("big.bin", Pattern(4 * kBlock, 4));
  stored.method = 0;
  files.failReadsAfter = 2 * kBlock;  // the directory is read, the entry's data is not
  EXPECT_EQ(Unzip(BuildZip({stored})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, (std::vector<std::wstring>{ErrorPrompt(kErrorReadArchive, L"big.bin")}));
  EXPECT_TRUE(ListFiles(out).empty());
}

TEST_F(UnzipTest, ABrokenLocalHeaderOrDataPastTheEndIsAReadError) {
  TestEntry broken = Aes("broken.txt", "b");
  broken.corruptLocalSignature = true;
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Unzip(BuildZip({broken, Aes("fine.txt", "f")})), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, (std::vector<std::wstring>{ErrorPrompt(kErrorReadArchive, L"broken.txt")}));
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"fine.txt"}));
}

}  // namespace
}  // namespace orv::test
