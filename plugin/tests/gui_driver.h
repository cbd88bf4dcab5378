// Drives the plug-in's windows from a second thread of the same process, the way a
// user would: it finds the windows, types into the boxes, clicks buttons and list
// entries, reads what the windows show, and saves pictures of them.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace brenmo::testing {

class Driver {
 public:
  explicit Driver(DWORD uiThread) : uiThread_(uiThread) {}

  // What went wrong, for the test thread to report.
  void Expect(bool condition, const std::string& what);
  std::vector<std::string> Problems();

  // A visible top-level window of the UI thread with that class, or null after the
  // time limit (or once the UI side has finished).
  HWND WaitForWindow(const wchar_t* windowClass, DWORD milliseconds = 15000);
  HWND WaitForMessageBox(DWORD milliseconds = 15000) { return WaitForWindow(L"#32770", milliseconds); }
  bool WaitGone(HWND wnd, DWORD milliseconds = 15000);
  // Polls `condition` until it holds or the time runs out.
  bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 15000);

  static std::wstring Text(HWND wnd);
  static std::wstring ClassOf(HWND wnd);
  // Types text as key strokes into an edit box.
  static void Type(HWND edit, const std::wstring& text);
  // Clicks a button; the click is posted, so a window it opens does not block the driver.
  static void Click(HWND button);
  // Clicks (or double-clicks) entry `index` of a list box.
  static void ClickListEntry(HWND list, int index, bool doubleClick);
  static std::vector<std::wstring> ListEntries(HWND list);
  static std::vector<std::wstring> ComboEntries(HWND combo);

  // The message text of a message box, and whether it shows the given system icon.
  static std::wstring MessageBoxText(HWND box);
  static bool MessageBoxShowsIcon(HWND box, LPCWSTR icon);
  static bool MessageBoxShowsAnyIcon(HWND box);
  static void PressOk(HWND box) { PostMessageW(box, WM_COMMAND, IDOK, 0); }

  // Real key strokes (SendInput), which go to the window that has the keyboard focus,
  // as a user's do: one key, with Alt held when `alt` is set, and text as characters.
  static void PressKey(WORD key, bool alt = false);
  static void TypeKeys(const std::wstring& text);
  // The UI thread's focused window, and waiting until it is `control`.
  HWND Focus() const;
  bool WaitForFocus(HWND control, DWORD milliseconds = 15000);

  // Saves the window as it is on screen as a PNG file (directory from
  // BRENMO_SCREENSHOT_DIR); returns the path written, or empty.
  static std::wstring SaveScreenshot(HWND wnd, const std::wstring& name);

  // Runs `call` on the UI thread from its message loop, as a message of the host's own
  // window would be, and waits until it has returned; false when it has not within the
  // time limit (it then still runs, later).
  bool RunOnUiThread(std::function<void()> call, DWORD milliseconds = 15000);

  void SetUiDone() { uiDone_ = true; }
  void SetUiCaller(HWND caller) { uiCaller_ = caller; }
  bool UiDone() const { return uiDone_; }
  // Closes every window of the UI thread until the UI side has finished.
  void CloseEverything();

 private:
  DWORD uiThread_;
  HWND uiCaller_ = nullptr;  // a hidden window of the UI thread that runs posted calls
  std::atomic<bool> uiDone_{false};
  std::mutex mutex_;
  std::vector<std::string> problems_;
};

// Runs `ui` on this thread (it shows the windows and returns when they are closed) and
// `script` on a driver thread. When the script ends, windows still open are closed so
// that `ui` returns. Returns the driver's problems.
std::vector<std::string> RunWithDriver(const std::function<void()>& ui, const std::function<void(Driver&)>& script);

std::string Narrow(const std::wstring& text);

}  // namespace brenmo::testing
