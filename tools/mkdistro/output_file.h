// The archive file under construction. It is written under a temporary name in the same
// directory as the final file and renamed over it only when complete and flushed to disk, so a
// reader never sees a half-written archive under the final name. Until Commit() succeeds, the
// temporary file is removed when the object is destroyed, and also when the process is ended
// by SIGINT, SIGTERM or SIGHUP.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "archive_writer.h"

namespace ot::mkdistro {

class AtomicOutputFile : public OutputSink {
 public:
  // Creates finalPath + ".tmp-XXXXXX". Throws DistroError.
  explicit AtomicOutputFile(const std::string& finalPath);
  ~AtomicOutputFile() override;
  AtomicOutputFile(const AtomicOutputFile&) = delete;
  AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;

  void Write(const std::uint8_t* data, std::size_t size) override;
  void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override;
  std::uint64_t Position() const override { return flushed_ + buffer_.size(); }

  // Flushes, syncs, gives the file the usual permissions and renames it to the final name.
  void Commit();
  const std::string& TempPath() const { return tempPath_; }

 private:
  void Flush();
  void Discard();

  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
  std::uint64_t flushed_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace ot::mkdistro
