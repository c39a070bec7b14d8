// TMainForm: the launcher's one window and the owner of everything a run holds. Its layout is
// read from the TMAINFORM resource when the window is created; three events carry the whole
// launcher: FormCreate prepares the window, FormShow runs the staged flow before the window is
// first visible, FormClose cleans up.
//
// The layout is in pixels at 96 dots per inch. The window is scaled to the dots per inch of the
// screen it is on when it is created and again whenever Windows moves it to a screen of another
// resolution (WM_DPICHANGED), so it stays sharp where Windows would otherwise stretch a bitmap.
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
  // interactive: whether anyone can see the window (see os/window_station.h). Where no one can,
  // a refusal or failure does not wait: the window closes at once, cleaning up, and the
  // failure's exit code reports it.
  TMainForm(HINSTANCE instance, bool interactive);
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Creates the window and its controls from the layout; FormCreate runs here. False when the
  // layout resource is missing or damaged.
  bool Create();
  // Runs FormShow (the staged flow), then makes the window visible unless the flow closed it.
  void Show();
  HWND Handle() const { return handle_; }
  // The process's exit code once the window has closed (core/exit_codes.h): the failure's code
  // when the flow stopped, else the setup program's own code when it had ended by the clean-up,
  // else 0.
  unsigned long ExitCode() const { return exitCode_; }

 private:
  struct ControlInfo {
    HWND hwnd = nullptr;
    std::wstring onClick;
    COLORREF textColor = 0;
    bool ownColor = false;
    bool tabVisible = true;  // pages only
    RECT layout{};           // labels and buttons: left, top, width, height at 96 dpi
    bool placed = false;     // has a layout rectangle of its own (pages fill their parent)
  };

  // Events bound by the layout.
  void FormCreate();
  void FormShow();
  void FormClose();
  void btnSystemClick();
  void btnNETClick();

  // The staged flow and its steps.
  void RunSteps();
  void StopOnFailure(unsigned long exitCode);
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
  int Scale(int pixelsAt96) const;
  UniqueFont MakeFont() const;
  void ApplyDpi(UINT dpi);
  RECT FrameFor(int clientWidth, int clientHeight) const;
  void SetLabelText(HWND label, const std::wstring& text);
  void SetLabelColor(HWND label, COLORREF color);
  void BringToFront();
  void Close();
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static bool RegisterClasses(HINSTANCE instance);

  HINSTANCE instance_;
  bool interactive_;
  unsigned long exitCode_;
  HWND handle_ = nullptr;
  bool closing_ = false;
  // The layout's font and client size at 96 dpi, the window's styles, and the dots per inch the
  // window is drawn for now.
  UniqueFont font_;
  int fontHeight_ = -11;
  std::wstring fontName_;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  DWORD style_ = 0;
  DWORD exStyle_ = 0;
  UINT dpi_ = 96;
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
  UniqueProcessInformation ProcessInfo;
  UniqueShellExecuteInfo ExecuteInfo;

  // The temporary directory workingDir lies in, whether workingDir has the protected rights,
  // and the hold on workingDir from its creation until the clean-up has removed it through it.
  std::wstring tempDir_;
  bool protectedFolder_ = false;
  Opened liveHold_;

  HWND activePage_ = nullptr;
  int tabHeight_ = 0;  // at 96 dpi
};

}  // namespace ot
