#include "archive_error.h"

namespace orv {

namespace {

// Base texts with "%s" where the argument goes.
std::wstring_view BaseFormat(int code) {
  switch (code) {
    case kErrorArchiveDamaged: return L"Archive is damaged. Open failed";
    case kErrorCannotOpenArchive: return L"Cannot open archive file. Opening aborted or invalid file";
    case kErrorNoZip64EndRecord: return L"Cannot find 64-bit directory end record";
    case kErrorCorruptData:
      return L"Invalid size or check sum of file or unsupported compression format";
    case kErrorBlankFileName: return L"File name is blank. Specify appropriate file name";
    case kErrorFileNotFound: return L"File \"%s\" not found";
    case kErrorCannotCreateFile: return L"Cannot create file \"%s\"";
    case kErrorCannotCreateDirectory: return L"Cannot create directory \"%s\"";
    case kErrorDeflate64: return L"Deflate64 compression method is not supported";
    case kErrorUnsafeName:
      return L"File name \"%s\" is not a relative path inside the destination directory";
    case kErrorReadArchive: return L"Cannot read data of file \"%s\" from the archive";
    case kErrorWriteFile: return L"Cannot write file \"%s\"";
    case kErrorUnsupportedEncryption: return L"Encryption method of file \"%s\" is not supported";
    default: return L"Unknown error";
  }
}

}  // namespace

std::wstring ArchiverErrorBaseText(int code, std::wstring_view argument) {
  const std::wstring_view format = BaseFormat(code);
  std::wstring text;
  const auto hole = format.find(L"%s");
  if (hole == std::wstring_view::npos) return std::wstring(format);
  text.reserve(format.size() + argument.size());
  text += format.substr(0, hole);
  text += argument;
  text += format.substr(hole + 2);
  return text;
}

std::wstring ArchiverErrorText(int code, std::wstring_view argument, std::wstring_view objectName) {
  std::wstring text;
  if (!objectName.empty()) {
    text += objectName;
    text += L": ";
  }
  text += ArchiverErrorBaseText(code, argument);
  text += L" - Native error: ";
  // "%5d" with blanks turned into zeros; wider codes are written in full.
  std::wstring digits = std::to_wstring(code);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), L'0');
  text += digits;
  return text;
}

std::wstring FailurePromptText(std::wstring_view errorText) {
  std::wstring text(errorText);
  text += L". File processing error, possibly disk is full";
  return text;
}

}  // namespace orv
