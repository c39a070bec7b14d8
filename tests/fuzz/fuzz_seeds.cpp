// fuzz_seeds OUTDIR: writes the hand-made edge archives of the fuzzing seed corpus, shapes
// that the peer tools do not write: ZIP64 records, a prepended stub, a comment, AE-1 with a
// real CRC, AES-192, an empty deflate entry, a directory entry, Deflate64 and strong-encryption
// markers, bytes after the deflate stream, a broken authentication code, a declared size that
// lies, and the hostile names the library refuses. Every encrypted entry uses the password
// the fuzz targets pass ("fuzz"), so the fuzzer starts from archives that decrypt.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "test_zip_writer.h"

namespace {

using orv::test::ArchiveOptions;
using orv::test::BuildZip;
using orv::test::TestEntry;

TestEntry Aes(std::string name, std::string data, int strength = 1) {
  TestEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.aesStrength = strength;
  e.password = "fuzz";
  return e;
}

TestEntry Plain(std::string name, std::string data, std::uint16_t method = 8) {
  TestEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = method;
  return e;
}

std::string Text(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "Orvane Tessaly setup payload line " + std::to_string(text.size()) + "\n";
  text.resize(size);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const std::string outDir = argv[1];
  int failures = 0;
  const auto save = [&](const std::string& name, const std::string& bytes) {
    std::ofstream out(outDir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "fuzz_seeds: cannot write %s/%s\n", outDir.c_str(), name.c_str());
      ++failures;
    }
  };

  ArchiveOptions zip64;
  zip64.zip64 = true;
  save("edge-zip64.zip", BuildZip({Aes("a.txt", Text(300)), Plain("sub/b.txt", Text(40))}, zip64));

  ArchiveOptions stubbed;
  stubbed.prefix = "MZ stub in front of the archive";
  stubbed.comment = "an archive comment";
  save("edge-stub-comment.zip", BuildZip({Aes("x86/lib.dll", Text(500))}, stubbed));

  TestEntry ae1 = Aes("ae1.txt", Text(200), 3);
  ae1.aesVendor = 1;
  TestEntry aes192 = Aes("Languages/d\xC3\xA9.lng", Text(100), 2);
  TestEntry storedAes = Aes("stored.bin", Text(64));
  storedAes.method = 0;
  save("edge-aes-kinds.zip", BuildZip({ae1, aes192, storedAes}));

  TestEntry empty = Aes("empty.txt", "");
  empty.compressed = "";
  TestEntry directory = Plain("dir/", "", 0);
  directory.externalAttributes = 0x10;
  TestEntry oem = Plain("\x81" "ber.txt", "oem name");
  oem.utf8 = false;
  save("edge-empty-dir-oem.zip", BuildZip({empty, directory, oem}));

  TestEntry deflate64 = Aes("d64.bin", "x");
  deflate64.method = 9;
  deflate64.compressed = "not deflate64";
  TestEntry strong = Plain("strong.bin", "s");
  strong.extraFlags = 0x0041;
  TestEntry zipCrypto = Plain("zc.bin", "z");
  zipCrypto.extraFlags = 0x0001;
  save("edge-unsupported.zip", BuildZip({deflate64, strong, zipCrypto, Plain("ok.txt", "ok")}));

  TestEntry trailing = Aes("trailing.txt", Text(100));
  trailing.afterStream = "bytes after the end of the stream";
  TestEntry badMac = Aes("badmac.txt", Text(100));
  badMac.corruptMac = true;
  TestEntry lies = Aes("lies.txt", Text(5000));
  lies.declaredSize = 100;
  TestEntry badCrc = Plain("badcrc.txt", Text(80));
  badCrc.crc = 0x12345678;
  save("edge-integrity.zip", BuildZip({trailing, badMac, lies, badCrc}));

  std::vector<TestEntry> hostile;
  for (const char* name : {"../up.txt", "a/../../up.txt", "/abs.txt", "\\abs.txt", "C:drive.txt",
                           "C:\\drive.txt", "\\\\server\\share\\x.txt", "x.txt:stream", "CON", "aux.txt",
                           "COM1", "LPT9.txt", "NUL", "con .txt", "COM\xC2\xB9.txt", "... /x.txt",
                           "a\\b.txt", "A\\B.TXT", "\xC0\xAE\xC0\xAE/x.txt", "\xEF\xBC\x8E\xEF\xBC\x8E/x.txt"}) {
    hostile.push_back(Aes(name, name));
  }
  save("edge-hostile-names.zip", BuildZip(hostile));
  return failures == 0 ? 0 : 1;
}
