#include "test_zip_writer.h"

#include <zlib.h>

#include <stdexcept>

#include "crypto/wzaes.h"
#include "zip/zip_format.h"

namespace orv::test {

namespace {

void Put16(std::string& out, std::uint64_t v) {
  std::uint8_t b[2];
  zip::StoreLe16(b, static_cast<std::uint16_t>(v));
  out.append(reinterpret_cast<char*>(b), 2);
}
void Put32(std::string& out, std::uint64_t v) {
  std::uint8_t b[4];
  zip::StoreLe32(b, static_cast<std::uint32_t>(v));
  out.append(reinterpret_cast<char*>(b), 4);
}
void Put64(std::string& out, std::uint64_t v) {
  std::uint8_t b[8];
  zip::StoreLe64(b, v);
  out.append(reinterpret_cast<char*>(b), 8);
}

struct Written {
  std::uint16_t flags, method;
  std::uint32_t crc;
  std::uint64_t compressedSize, uncompressedSize, offset;
  std::string extra;  // AES field
};

}  // namespace

std::string RawDeflate(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string BuildZip(const std::vector<TestEntry>& entries, const ArchiveOptions& options) {
  std::string zip;
  std::vector<Written> written;
  for (const TestEntry& e : entries) {
    Written w{};
    std::string payload = e.compressed ? *e.compressed : (e.method == 8 ? RawDeflate(e.data) : e.data);
    payload += e.afterStream;
    w.uncompressedSize = e.declaredSize ? *e.declaredSize : e.data.size();
    w.flags = static_cast<std::uint16_t>((e.utf8 ? zip::kFlagUtf8 : 0) | e.extraFlags.value_or(0));
    w.method = e.method;
    w.crc = Crc32(e.data);
    if (e.aesStrength != 0) {
      // Salt from a fixed pattern: the archive is the same on every run.
      const std::size_t saltSize = crypto::WzAesSaltSize(static_cast<unsigned>(e.aesStrength));
      std::string salt(saltSize != 0 ? saltSize : 8, '\0');
      for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<char>(0x11 * (i + 1));
      std::uint8_t verifier[2] = {0x5A, 0xA5};
      std::uint8_t mac[10] = {};
      crypto::WzAesCipher cipher;
      if (cipher.Init(static_cast<unsigned>(e.aesStrength), reinterpret_cast<const std::uint8_t*>(e.password.data()),
                      e.password.size(), reinterpret_cast<const std::uint8_t*>(salt.data()), verifier)) {
        cipher.Encrypt(reinterpret_cast<std::uint8_t*>(payload.data()), payload.size());
        cipher.FinalMac(mac);
      }
      if (e.corruptMac) mac[3] ^= 0x40;
      payload = salt + std::string(reinterpret_cast<char*>(verifier), 2) + payload +
                std::string(reinterpret_cast<char*>(mac), 10);
      w.flags |= zip::kFlagEncrypted;
      w.method = zip::kMethodWzAes;
      if (e.aesVendor == 2) w.crc = 0;
      Put16(w.extra, zip::kExtraWzAes);
      Put16(w.extra, 7);
      Put16(w.extra, e.aesVendor);
      w.extra += "AE";
      w.extra += static_cast<char>(e.aesStrength);
      Put16(w.extra, e.method);
    }
    if (e.crc) w.crc = *e.crc;
    w.compressedSize = payload.size();
    w.offset = zip.size();

    std::string zip64Local;
    if (options.zip64) {
      Put16(zip64Local, zip::kExtraZip64);
      Put16(zip64Local, 16);
      Put64(zip64Local, w.uncompressedSize);
      Put64(zip64Local, w.compressedSize);
    }
    Put32(zip, e.corruptLocalSignature ? 0x04034B51 : zip::kLocalHeaderSignature);
    Put16(zip, zip::kVersion51);
    Put16(zip, w.flags);
    Put16(zip, w.method);
    Put16(zip, e.dosTime);
    Put16(zip, e.dosDate);
    Put32(zip, w.crc);
    Put32(zip, options.zip64 ? 0xFFFFFFFF : w.compressedSize);
    Put32(zip, options.zip64 ? 0xFFFFFFFF : w.uncompressedSize);
    Put16(zip, e.name.size());
    Put16(zip, zip64Local.size() + w.extra.size());
    zip += e.name;
    zip += zip64Local;
    zip += w.extra;
    zip += payload;
    written.push_back(w);
  }

  const std::uint64_t directoryOffset = zip.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TestEntry& e = entries[i];
    const Written& w = written[i];
    std::string zip64Central;
    if (options.zip64) {
      Put16(zip64Central, zip::kExtraZip64);
      Put16(zip64Central, 24);
      Put64(zip64Central, w.uncompressedSize);
      Put64(zip64Central, w.compressedSize);
      Put64(zip64Central, w.offset);
    }
    Put32(zip, zip::kCentralHeaderSignature);
    Put16(zip, zip::kVersion51);
    Put16(zip, zip::kVersion51);
    Put16(zip, w.flags);
    Put16(zip, w.method);
    Put16(zip, e.dosTime);
    Put16(zip, e.dosDate);
    Put32(zip, w.crc);
    Put32(zip, options.zip64 ? 0xFFFFFFFF : w.compressedSize);
    Put32(zip, options.zip64 ? 0xFFFFFFFF : w.uncompressedSize);
    Put16(zip, e.name.size());
    Put16(zip, zip64Central.size() + w.extra.size());
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, 0);
    Put32(zip, e.externalAttributes);
    Put32(zip, options.zip64 ? 0xFFFFFFFF : w.offset);
    zip += e.name;
    zip += zip64Central;
    zip += w.extra;
  }
  const std::uint64_t directorySize = zip.size() - directoryOffset;
  if (options.zip64) {
    const std::uint64_t recordOffset = zip.size();
    Put32(zip, zip::kZip64EndOfCentralDirSignature);
    Put64(zip, zip::kZip64EndOfCentralDirSize - 12);
    Put16(zip, 45);
    Put16(zip, 45);
    Put32(zip, 0);
    Put32(zip, 0);
    Put64(zip, entries.size());
    Put64(zip, entries.size());
    Put64(zip, directorySize);
    Put64(zip, directoryOffset);
    Put32(zip, zip::kZip64EndLocatorSignature);
    Put32(zip, 0);
    Put64(zip, recordOffset);
    Put32(zip, 1);
  }
  Put32(zip, zip::kEndOfCentralDirSignature);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, options.zip64 ? 0xFFFF : entries.size());
  Put16(zip, options.zip64 ? 0xFFFF : entries.size());
  Put32(zip, options.zip64 ? 0xFFFFFFFF : directorySize);
  Put32(zip, options.zip64 ? 0xFFFFFFFF : directoryOffset);
  Put16(zip, options.comment.size());
  zip += options.comment;
  return options.prefix + zip;
}

}  // namespace orv::test
