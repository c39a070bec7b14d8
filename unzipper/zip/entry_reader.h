// Decoding one entry's data straight into its output file, block by block:
//   archive file -> bounded by the entry's size -> WinZip AES (HMAC over the ciphertext,
//   then AES-CTR) -> stored copy or raw inflate (zlib) -> size and CRC check -> output file.
// Two fixed buffers serve every entry; no entry is ever held whole in memory. An output that
// keeps blocks instead of writing them away may lend the memory inflate writes into.
//
// Integrity is never skipped: an AES entry's authentication code is checked after every byte
// of its ciphertext has gone through the HMAC, including bytes after the end of the deflate
// stream; AE-1 entries and unencrypted ones have their CRC-32 checked as well. Output never
// grows past the declared uncompressed size, whatever the stream would produce.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive_error.h"
#include "crypto/wzaes.h"
#include "os/file_system.h"
#include "zip/central_directory.h"

struct z_stream_s;

namespace orv::zip {

class EntryReader {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  EntryReader();
  ~EntryReader();
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // Checks that the entry can be decoded, reads its local header and, for a WinZip AES entry,
  // the salt and the password verifier. name is the entry's name for error texts.
  Status Begin(InputFile& archive, const CentralDirectory& directory, const Entry& entry,
               std::wstring_view name);

  bool IsEncrypted() const { return encrypted_; }
  // Derives the keys for password (its bytes used as they are); true when the verifier
  // matches, and the keys are then kept for Decode. An empty password is a password too.
  bool TryPassword(std::string_view password);

  // Decodes the data into out; outputPath names the file in a write error. After Begin and,
  // for an encrypted entry, a successful TryPassword. The keys are wiped on return.
  Status Decode(OutputFile& out, std::wstring_view outputPath);

 private:
  bool ReadExact(std::uint8_t* buffer, std::size_t size);
  std::uint8_t* NextBlock(OutputFile& out);
  Status Emit(OutputFile& out, const std::uint8_t* data, std::size_t size, std::wstring_view outputPath);
  Status Inflate(OutputFile& out, std::size_t inputSize, std::size_t& outUsed, bool& streamEnded,
                 std::wstring_view outputPath);

  std::vector<std::uint8_t> input_;
  std::vector<std::uint8_t> output_;
  std::unique_ptr<z_stream_s> inflate_;
  bool inflateReady_ = false;
  std::uint8_t* block_ = nullptr;  // where inflate writes the block at hand: output_ or lent memory

  InputFile* archive_ = nullptr;
  const Entry* entry_ = nullptr;
  std::wstring name_;
  std::uint16_t method_ = 0;
  bool encrypted_ = false;
  bool checkCrc_ = true;
  std::uint64_t dataSize_ = 0;  // bytes of (cipher)text between the AES header and the MAC
  std::uint8_t salt_[16] = {};
  std::uint8_t storedVerifier_[crypto::kWzAesVerifierSize] = {};
  crypto::WzAesCipher cipher_;
  bool keysReady_ = false;

  std::uint64_t written_ = 0;
  std::uint32_t crc_ = 0;
};

}  // namespace orv::zip
