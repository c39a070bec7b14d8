// TMainForm: the launcher's one window and the owner of everything a run holds. Its layout is
// read from the TMAINFORM resource when the window is created; three events carry the whole
// launcher: FormCreate prepares the window, FormShow runs the staged flow before the window is
// first visible, FormClose cleans up.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <map>
#include <memory>
#include <string>

#include "core/folder_system.h"
#include "core/form_layout.h"
#include "win32/unique_handle.h"

namespace ot {

class TMainForm {
 public:
  explicit TMainForm(HINSTANCE instance);
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Creates the window and its controls from the layout; FormCreate runs here. False when the
  // layout resource is missing or damaged.
  bool Create();
  // Runs FormShow (the staged flow), then makes the window visible unless the flow closed it.
  void Show();
  HWND Handle() const { return handle_; }

 private:
  struct ControlInfo {
    HWND hwnd = nullptr;
    std::wstring onClick;
    COLORREF textColor = 0;
    bool ownColor = false;
    bool tabVisible = true;  // pages only
  };

  // Events bound by the layout.
  void FormCreate();
  void FormShow();
  void FormClose();
  void btnSystemClick();
  void btnNETClick();

  // The staged flow and its steps.
  void RunSteps();
  void HideTabs();
  void SetActivePage(HWND page);
  bool IsWindowsSupported();
  bool IsDotNetInstalled();
  bool ExtractDistribution();
  bool MakeWorkingDirectory();
  void ShowError(const std::wstring& text);
  bool LaunchStarter();
  bool LaunchSetup();
  std::wstring GetUserSid();
  void CleanUp();
  void CloseStarterProcess();
  void CloseSetupProcess();
  void SweepEarlierRunFolders();

  // Path helpers.
  static std::wstring JoinPath(const std::wstring& dir, const std::wstring& name);
  static std::wstring QuoteText(const std::wstring& text);
  static void DeleteDirectory(Opened& folder);

  // Window plumbing.
  bool CreateControls(const LayoutObject& object, HWND parent, int depth);
  void LayoutPages();
  void SetLabelText(HWND label, const std::wstring& text);
  void SetLabelColor(HWND label, COLORREF color);
  void BringToFront();
  void Close();
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static bool RegisterClasses(HINSTANCE instance);

  HINSTANCE instance_;
  HWND handle_ = nullptr;
  HFONT font_ = nullptr;
  bool closing_ = false;
  int nextControlId_ = 100;
  std::map<HWND, ControlInfo> controls_;
  std::map<std::wstring, HWND> byName_;

  // Members in the order the window declares them.
  HWND mainPages = nullptr;
  HWND pageSystem = nullptr;
  HWND pageNET = nullptr;
  HWND pageExtract = nullptr;
  HWND lblSystem = nullptr;
  HWND btnSystem = nullptr;
  HWND lblNET = nullptr;
  HWND btnNET = nullptr;
  HWND lblExtract = nullptr;
  std::wstring workingDir;
  std::wstring setupDir;
  PROCESS_INFORMATION ProcessInfo{};
  std::unique_ptr<SHELLEXECUTEINFOW> ExecuteInfo;

  // The temporary directory workingDir lies in, whether workingDir has the protected rights,
  // and the hold on workingDir from its creation until the clean-up has removed it through it.
  std::wstring tempDir_;
  bool protectedFolder_ = false;
  Opened liveHold_;

  HWND activePage_ = nullptr;
  int tabHeight_ = 0;
};

}  // namespace ot
