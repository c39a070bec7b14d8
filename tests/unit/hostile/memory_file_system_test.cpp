// The Windows-like memory file system that the hostile tests and the fuzz targets judge the
// library by: if its path rules were wrong, an escape could pass unnoticed.
#include <gtest/gtest.h>

#include "memory_file_system.h"

namespace orv::test {
namespace {

TEST(WindowsMemoryFileSystem, ResolvesPathsAsWin32Does) {
  WindowsMemoryFileSystem fs(L"C:\\Work");
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\Setup\\a.txt"), L"C:\\WORK\\SETUP\\A.TXT");
  EXPECT_EQ(fs.KeyOf(L"c:/work/setup/A.TXT"), L"C:\\WORK\\SETUP\\A.TXT");
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\Setup\\.\\x\\..\\a.txt. . "), L"C:\\WORK\\SETUP\\A.TXT");
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\Setup\\..\\..\\..\\..\\a.txt"), L"C:\\A.TXT");  // never above the root
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\Setup\\... \\a.txt"), L"C:\\WORK\\A.TXT");     // dots and blanks climb
  EXPECT_EQ(fs.KeyOf(L"Setup\\a.txt"), L"C:\\WORK\\SETUP\\A.TXT");               // relative to the current one
  EXPECT_EQ(fs.KeyOf(L"\\a.txt"), L"C:\\A.TXT");                                 // rooted on the current drive
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\\u00E9t\u00E9"), L"C:\\WORK\\\u00C9T\u00C9");
  EXPECT_EQ(fs.KeyOf(L"C:\\Work\\\uFF0E\uFF0E\\a"), L"C:\\WORK\\\uFF0E\uFF0E\\A");  // fullwidth dots are no dots
  for (const wchar_t* odd : {L"C:\\Work\\NUL", L"C:\\Work\\com1.txt\\x", L"C:\\Work\\LPT\u00B3 .log",
                             L"C:\\Work\\a.txt:s", L"\\\\server\\share\\a", L"\\\\?\\C:\\a", L"C:a.txt",
                             L"C:\\Work\\a?.txt"}) {
    EXPECT_EQ(fs.KeyOf(odd), L"") << odd;
  }
}

TEST(WindowsMemoryFileSystem, RecordsEveryChangeOutsideTheConfinement) {
  WindowsMemoryFileSystem fs(L"C:\\Work");
  fs.AddFile(L"C:\\Work\\keep.txt", "keep");
  fs.Confine(L"C:\\Work\\Setup");
  EXPECT_TRUE(fs.MakeDirectory(L"C:\\Work\\Setup"));  // the destination itself may be made
  EXPECT_TRUE(fs.MakeDirectory(L"C:\\Work\\Setup\\sub"));
  EXPECT_NE(fs.CreateForWriting(L"C:\\Work\\Setup\\sub\\a.txt"), nullptr);
  EXPECT_TRUE(fs.violations().empty());

  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\Setup\\..\\evil.txt"), nullptr);
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\Setup\\CON"), nullptr);
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\Setup\\a.txt:hidden"), nullptr);
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\Setup"), nullptr);  // the destination is no file
  EXPECT_FALSE(fs.SetAttributes(L"C:\\Work\\keep.txt", 0));
  EXPECT_FALSE(fs.RemoveFile(L"C:\\Work\\keep.txt"));
  EXPECT_FALSE(fs.MakeDirectory(L"C:\\Other"));
  EXPECT_EQ(fs.violations().size(), 7u);
  EXPECT_EQ(fs.Find(L"C:\\Work\\keep.txt")->data, "keep");
  EXPECT_EQ(fs.Find(L"C:\\Work\\evil.txt"), nullptr);
}

TEST(WindowsMemoryFileSystem, BehavesLikeCreateFileAndDeleteFile) {
  WindowsMemoryFileSystem fs(L"C:\\Work");
  fs.AddFile(L"C:\\Work\\ro.txt", "old", 0x21);
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\RO.TXT"), nullptr);  // read-only: refused
  EXPECT_FALSE(fs.RemoveFile(L"C:\\Work\\ro.txt"));
  EXPECT_TRUE(fs.SetAttributes(L"C:\\Work\\ro.txt", 0));
  EXPECT_EQ(fs.GetAttributes(L"C:\\Work\\ro.txt"), 0x80u);  // "normal"

  auto out = fs.CreateForWriting(L"C:\\Work\\Ro.Txt");  // case does not count: replaces
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\ro.txt"), nullptr);  // open without sharing
  EXPECT_FALSE(fs.RemoveFile(L"C:\\Work\\ro.txt"));
  EXPECT_EQ(fs.OpenForReading(L"C:\\Work\\ro.txt"), nullptr);
  EXPECT_TRUE(out->Write("new", 3));
  EXPECT_FALSE(out->SetLastWriteTime(0, 0));  // no valid DOS date
  EXPECT_TRUE(out->Close());
  EXPECT_EQ(fs.openOutputs(), 0);
  EXPECT_EQ(fs.Find(L"c:\\work\\RO.txt")->data, "new");
  EXPECT_FALSE(fs.MakeDirectory(L"C:\\Work\\missing\\sub"));  // one level only
  EXPECT_EQ(fs.CreateForWriting(L"C:\\Work\\missing\\a.txt"), nullptr);

  fs.freeSpace = 2;
  out = fs.CreateForWriting(L"C:\\Work\\full.txt");
  EXPECT_FALSE(out->Write("abc", 3));
  EXPECT_TRUE(out->Write("ab", 2));
  EXPECT_TRUE(out->Close());
  EXPECT_TRUE(fs.RemoveFile(L"C:\\Work\\full.txt"));
  EXPECT_EQ(fs.freeSpace, 2u);  // a file removed gives its room back
}

}  // namespace
}  // namespace orv::test
