// The archiver's errors: a code, a base text and the full text shown to the user,
// "<base text with its argument> - Native error: 000NN".
//
// Errors are values. An archiver error raised while an entry is processed goes to the failure
// prompt (Retry / Ignore / Abort); a fatal error (the decompression library out of memory,
// a broken stream state) ends the whole extraction with the result 0.
#pragma once
#include <string>
#include <string_view>

namespace orv {

enum ArchiverErrorCode : int {
  kErrorArchiveDamaged = 2,        // "Archive is damaged. Open failed"
  kErrorCannotOpenArchive = 3,     // "Cannot open archive file. Opening aborted or invalid file"
  kErrorNoZip64EndRecord = 4,      // "Cannot find 64-bit directory end record"
  kErrorCorruptData = 8,           // integrity, size, compression format
  kErrorBlankFileName = 10,
  kErrorFileNotFound = 12,
  kErrorCannotCreateFile = 19,
  kErrorCannotCreateDirectory = 20,
  kErrorDeflate64 = 55,
  // Errors of this archiver beyond the classic set: they keep a bad name, a failing disk or
  // an unreadable archive inside the per-entry prompt instead of ending the extraction.
  kErrorUnsafeName = 60,
  kErrorReadArchive = 61,
  kErrorWriteFile = 62,
  kErrorUnsupportedEncryption = 63,
};

// The base text of a code with "%s" or "%d" filled in by argument.
std::wstring ArchiverErrorBaseText(int code, std::wstring_view argument);

// The full text: "<objectName>: " only when the archiver has a name, the base text, then
// " - Native error: " and the code as "%5d" with every blank turned into "0".
std::wstring ArchiverErrorText(int code, std::wstring_view argument,
                               std::wstring_view objectName = {});

// "%s. File processing error, possibly disk is full" around an error's full text.
std::wstring FailurePromptText(std::wstring_view errorText);

class Status {
 public:
  enum class Kind { kOk, kArchiver, kFatal };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Archiver(int code, std::wstring_view argument = {}) {
    return Status(Kind::kArchiver, code, ArchiverErrorText(code, argument));
  }
  static Status Fatal(std::wstring text) { return Status(Kind::kFatal, 0, std::move(text)); }

  // The same error with "<objectName>: " in front of its text (nothing changes for an empty
  // name or a success).
  Status WithObjectName(std::wstring_view objectName) const {
    if (ok() || objectName.empty()) return *this;
    std::wstring text(objectName);
    text += L": ";
    text += text_;
    return Status(kind_, code_, std::move(text));
  }

  bool ok() const { return kind_ == Kind::kOk; }
  Kind kind() const { return kind_; }
  int code() const { return code_; }
  const std::wstring& text() const { return text_; }

 private:
  Status(Kind kind, int code, std::wstring text) : kind_(kind), code_(code), text_(std::move(text)) {}

  Kind kind_ = Kind::kOk;
  int code_ = 0;
  std::wstring text_;
};

}  // namespace orv
