#include "os/prompts_win32.h"

#include <windows.h>

#include "crypto/wipe.h"
#include "os/window_station.h"
#include "resource_ids.h"

// The library's own module, whatever name it was loaded under.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace orv {

namespace {

constexpr int kMaxPasswordLength = 255;

struct PasswordDialogState {
  std::wstring caption;
  wchar_t typed[kMaxPasswordLength + 1] = {};
};

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* state = reinterpret_cast<PasswordDialogState*>(lParam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      ::SetWindowTextW(dialog, state->caption.c_str());
      // Every character shows as '*', also where the visual styles would draw dots.
      ::SendDlgItemMessageW(dialog, IDC_PASSWORD_EDIT, EM_SETPASSWORDCHAR, L'*', 0);
      ::SendDlgItemMessageW(dialog, IDC_PASSWORD_EDIT, EM_LIMITTEXT, kMaxPasswordLength, 0);
      return TRUE;  // focus on the first tab stop, the text field
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        auto* state = reinterpret_cast<PasswordDialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        ::GetDlgItemTextW(dialog, IDC_PASSWORD_EDIT, state->typed, kMaxPasswordLength + 1);
        ::SetDlgItemTextW(dialog, IDC_PASSWORD_EDIT, L"");
        ::EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {  // the Cancel button, Esc and the close box
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

bool Win32Prompts::AskPassword(const std::wstring& entryName, std::string& password) {
  if (!WindowStationIsVisible()) {
    answeredUnseen_ = true;
    return false;  // Cancel: the entry is skipped
  }
  PasswordDialogState state;
  state.caption = L"Password for \"" + entryName + L"\"";
  const INT_PTR result =
      ::DialogBoxParamW(reinterpret_cast<HINSTANCE>(&__ImageBase), MAKEINTRESOURCEW(IDD_PASSWORD),
                        ::GetActiveWindow(), PasswordDialogProc, reinterpret_cast<LPARAM>(&state));
  bool accepted = false;
  if (result == IDOK) {
    // The typed text in the system's ANSI code page, the form the key derivation takes.
    const int typedLength = lstrlenW(state.typed);
    password.clear();
    if (typedLength > 0) {
      const int size = ::WideCharToMultiByte(CP_ACP, 0, state.typed, typedLength, nullptr, 0, nullptr, nullptr);
      if (size > 0) {
        password.resize(static_cast<std::size_t>(size));
        ::WideCharToMultiByte(CP_ACP, 0, state.typed, typedLength, password.data(), size, nullptr, nullptr);
      }
    }
    accepted = true;
  }
  crypto::SecureWipe(state.typed, sizeof state.typed);
  return accepted;
}

FailureAnswer Win32Prompts::AskOnFailure(const std::wstring& text) {
  if (!WindowStationIsVisible()) {
    answeredUnseen_ = true;
    return FailureAnswer::kAbort;
  }
  const int answer = ::MessageBoxW(nullptr, text.c_str(), L"Confirm",
                                   MB_ABORTRETRYIGNORE | MB_ICONQUESTION | MB_TASKMODAL | MB_SETFOREGROUND);
  if (answer == IDRETRY) return FailureAnswer::kRetry;
  if (answer == IDIGNORE) return FailureAnswer::kIgnore;
  return FailureAnswer::kAbort;
}

}  // namespace orv
