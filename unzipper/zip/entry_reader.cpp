#include "zip/entry_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "crypto/wipe.h"
#include "zip/zip_format.h"

namespace orv::zip {

namespace {

constexpr int kRawDeflateWindowBits = -15;

}  // namespace

EntryReader::EntryReader()
    : input_(kBlockSize), output_(kBlockSize), inflate_(std::make_unique<z_stream_s>()) {}

EntryReader::~EntryReader() {
  if (inflateReady_) inflateEnd(inflate_.get());
  crypto::SecureWipe(salt_, sizeof salt_);
}

std::uint8_t* EntryReader::NextBlock(OutputFile& out) {
  std::uint8_t* lent = out.LendBlock(kBlockSize);
  return lent != nullptr ? lent : output_.data();
}

bool EntryReader::ReadExact(std::uint8_t* buffer, std::size_t size) {
  std::size_t got = 0;
  return archive_->Read(buffer, size, got) && got == size;
}

Status EntryReader::Begin(InputFile& archive, const CentralDirectory& directory, const Entry& entry,
                          std::wstring_view name) {
  archive_ = &archive;
  entry_ = &entry;
  name_.assign(name.begin(), name.end());
  cipher_.Wipe();
  keysReady_ = false;
  encrypted_ = false;

  // What the entry needs, decided from the central directory before its data is touched.
  if (entry.flags & kFlagStrongEncryption) return Status::Archiver(kErrorUnsupportedEncryption, name);
  if (entry.method == kMethodWzAes) {
    if (!entry.aes.present || crypto::WzAesKeySize(entry.aes.strength) == 0) {
      return Status::Archiver(kErrorCorruptData);
    }
    encrypted_ = true;
    method_ = entry.aes.method;
    checkCrc_ = entry.aes.vendorVersion != kWzAesVendorAe2;
  } else {
    if (entry.flags & kFlagEncrypted) return Status::Archiver(kErrorUnsupportedEncryption, name);
    method_ = entry.method;
    checkCrc_ = true;
  }
  if (method_ == kMethodDeflate64) return Status::Archiver(kErrorDeflate64);
  if (method_ != kMethodStored && method_ != kMethodDeflate) return Status::Archiver(kErrorCorruptData);

  // The local header: only its name and extra field lengths matter; the sizes come from the
  // central directory (they may be zero here when a data descriptor follows).
  const std::uint64_t archiveSize = directory.archiveSize;
  if (entry.localHeaderOffset > archiveSize || directory.baseOffset > archiveSize - entry.localHeaderOffset) {
    return Status::Archiver(kErrorReadArchive, name);
  }
  const std::uint64_t headerOffset = directory.baseOffset + entry.localHeaderOffset;
  std::uint8_t header[kLocalHeaderSize];
  if (!archive.Seek(headerOffset) || !ReadExact(header, sizeof header) ||
      LoadLe32(header) != kLocalHeaderSignature) {
    return Status::Archiver(kErrorReadArchive, name);
  }
  const std::uint64_t dataOffset = headerOffset + kLocalHeaderSize + LoadLe16(header + 26) + LoadLe16(header + 28);
  if (dataOffset > archiveSize || entry.compressedSize > archiveSize - dataOffset) {
    return Status::Archiver(kErrorReadArchive, name);
  }
  if (!archive.Seek(dataOffset)) return Status::Archiver(kErrorReadArchive, name);

  dataSize_ = entry.compressedSize;
  if (encrypted_) {
    const std::size_t saltSize = crypto::WzAesSaltSize(entry.aes.strength);
    const std::uint64_t overhead = saltSize + crypto::kWzAesVerifierSize + crypto::kWzAesMacSize;
    if (entry.compressedSize < overhead) return Status::Archiver(kErrorCorruptData);
    dataSize_ = entry.compressedSize - overhead;
    if (!ReadExact(salt_, saltSize) || !ReadExact(storedVerifier_, sizeof storedVerifier_)) {
      return Status::Archiver(kErrorReadArchive, name);
    }
  }
  return Status::Ok();
}

bool EntryReader::TryPassword(std::string_view password) {
  std::uint8_t verifier[crypto::kWzAesVerifierSize];
  cipher_.Init(entry_->aes.strength, reinterpret_cast<const std::uint8_t*>(password.data()),
               password.size(), salt_, verifier);
  keysReady_ = std::memcmp(verifier, storedVerifier_, sizeof verifier) == 0;
  if (!keysReady_) cipher_.Wipe();
  return keysReady_;
}

Status EntryReader::Emit(OutputFile& out, const std::uint8_t* data, std::size_t size,
                         std::wstring_view outputPath) {
  // A stream that would grow past the declared size is corrupt (or built to fill the disk):
  // write no more than the declared size and stop.
  const std::uint64_t room = entry_->uncompressedSize - written_;
  const bool overflow = size > room;
  if (overflow) size = static_cast<std::size_t>(room);
  if (size > 0) {
    if (checkCrc_) crc_ = static_cast<std::uint32_t>(crc32(crc_, data, static_cast<uInt>(size)));
    if (!out.Write(data, size)) return Status::Archiver(kErrorWriteFile, outputPath);
    written_ += size;
  }
  return overflow ? Status::Archiver(kErrorCorruptData) : Status::Ok();
}

// Runs the block in input_ through inflate, writing whenever the output buffer is full.
Status EntryReader::Inflate(OutputFile& out, std::size_t inputSize, std::size_t& outUsed,
                            bool& streamEnded, std::wstring_view outputPath) {
  z_stream_s& z = *inflate_;
  z.next_in = input_.data();
  z.avail_in = static_cast<uInt>(inputSize);
  for (;;) {
    z.next_out = block_ + outUsed;
    z.avail_out = static_cast<uInt>(kBlockSize - outUsed);
    const int ret = inflate(&z, Z_NO_FLUSH);
    outUsed = kBlockSize - z.avail_out;
    if (ret == Z_STREAM_END) {
      streamEnded = true;
      return Status::Ok();
    }
    if (ret == Z_MEM_ERROR) return Status::Fatal(L"Not enough memory to decompress");
    if (ret != Z_OK && ret != Z_BUF_ERROR) return Status::Archiver(kErrorCorruptData);
    if (outUsed == kBlockSize) {
      if (Status s = Emit(out, block_, outUsed, outputPath); !s.ok()) return s;
      block_ = NextBlock(out);
      outUsed = 0;
      continue;
    }
    if (z.avail_in == 0) return Status::Ok();  // wants the next block
    if (ret == Z_BUF_ERROR) return Status::Archiver(kErrorCorruptData);  // no progress possible
  }
}

Status EntryReader::Decode(OutputFile& out, std::wstring_view outputPath) {
  struct KeyWipe {
    crypto::WzAesCipher& cipher;
    bool& ready;
    ~KeyWipe() {
      cipher.Wipe();
      ready = false;
    }
  } keyWipe{cipher_, keysReady_};
  if (encrypted_ && !keysReady_) return Status::Archiver(kErrorCorruptData);

  written_ = 0;
  crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  const bool deflate = method_ == kMethodDeflate;
  if (deflate) {
    const int ret = inflateReady_ ? inflateReset(inflate_.get())
                                  : inflateInit2(inflate_.get(), kRawDeflateWindowBits);
    if (ret != Z_OK) return Status::Fatal(L"Cannot initialise the decompressor");
    inflateReady_ = true;
  }

  block_ = deflate ? NextBlock(out) : nullptr;
  // A deflate entry with no data at all is an empty file written by a lenient tool.
  bool streamEnded = !deflate || dataSize_ == 0;
  std::size_t outUsed = 0;
  std::uint64_t remaining = dataSize_;
  while (remaining > 0) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, remaining));
    if (!ReadExact(input_.data(), size)) return Status::Archiver(kErrorReadArchive, name_);
    remaining -= size;
    if (encrypted_) cipher_.Decrypt(input_.data(), size);
    if (!deflate) {
      if (Status s = Emit(out, input_.data(), size, outputPath); !s.ok()) return s;
    } else if (!streamEnded) {
      if (Status s = Inflate(out, size, outUsed, streamEnded, outputPath); !s.ok()) return s;
    }
    // Bytes after the end of the deflate stream are not output, but they have passed
    // through the HMAC above like every other byte of ciphertext.
  }
  if (!streamEnded) return Status::Archiver(kErrorCorruptData);  // the stream was cut short
  if (outUsed > 0) {
    if (Status s = Emit(out, block_, outUsed, outputPath); !s.ok()) return s;
  }

  if (encrypted_) {
    std::uint8_t mac[crypto::kWzAesMacSize];
    if (!ReadExact(mac, sizeof mac)) return Status::Archiver(kErrorReadArchive, name_);
    if (!cipher_.CheckMac(mac)) return Status::Archiver(kErrorCorruptData);
  }
  if (written_ != entry_->uncompressedSize) return Status::Archiver(kErrorCorruptData);
  if (checkCrc_ && crc_ != entry_->crc32) return Status::Archiver(kErrorCorruptData);
  return Status::Ok();
}

}  // namespace orv::zip
