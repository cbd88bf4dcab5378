// Helpers shared by the plug-in's windows: the dialog font and its units, twips, the
// dialog keyboard, the modal loop, message boxes and the help file.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "comkit/resources.h"

namespace brenmo {

// The system's message font, created for one window (null when it cannot be made: the
// controls then keep the system font).
comkit::unique_hfont CreateDialogFont();

// The dialog base units of the message font and the screen's pixels per inch, measured
// once per loaded library (with a font that is deleted right after).
class DialogMetrics {
 public:
  static const DialogMetrics& Get();
  int X(int dialogUnits) const { return MulDiv(dialogUnits, baseX_, 4); }
  int Y(int dialogUnits) const { return MulDiv(dialogUnits, baseY_, 8); }
  // Twips (1/1440 inch) to pixels with the screen's logical pixels per inch.
  int TwipsToPixelsX(int twips) const { return MulDiv(twips, dpiX_, 1440); }
  int PixelsToTwipsX(int pixels) const { return MulDiv(pixels, 1440, dpiX_); }
  int TwipsToPixelsY(int twips) const { return MulDiv(twips, dpiY_, 1440); }

 private:
  DialogMetrics();
  int baseX_ = 6, baseY_ = 13, dpiX_ = 96, dpiY_ = 96;
};

// Creates a child control with `font` (may be null). The rectangle is in dialog units.
HWND CreateControl(HWND parent, HFONT font, int id, const wchar_t* cls, const wchar_t* text, DWORD style,
                   DWORD exStyle, int x, int y, int w, int h);

// The part of a dialog box's own procedure that a plain window driven by
// IsDialogMessage needs: the default button (DM_GETDEFID, DM_SETDEFID, and its look
// while the focus is on another push button), moving the focus (WM_NEXTDLGCTL, which
// mnemonics of labels send), and the focused control kept across deactivation (a
// message box, a second window) and given back on activation.
class DialogKeyboard {
 public:
  void SetDefaultId(int id) { defaultId_ = id; }
  // The control that gets the focus when the window is next activated.
  void SetFocusOnActivate(HWND control) { focus_ = control; }
  // Handles `msg` when it is one of the above: returns true and sets `result`.
  // Control notifications (WM_COMMAND) are only watched: it returns false for them.
  bool Handle(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);

 private:
  void ShowDefault(HWND wnd, HWND focused) const;
  int defaultId_ = 0;
  HWND focus_ = nullptr;
};

std::wstring WindowText(HWND wnd);

// Shows `wnd` modally: disables every other enabled top-level window of the thread,
// shows and activates `wnd`, and dispatches messages until `finished()` turns true or
// the window is gone. IsDialogMessage gives it the dialog keys: Tab and the arrows,
// Enter (the default button, see DialogKeyboard), Esc (WM_COMMAND with IDCANCEL) and
// Alt with a caption's underlined letter. `keyHook` sees key messages first and may
// consume them. A WM_QUIT ends the loop and is posted again for the
// outer loop. The disabled windows are enabled again before this returns; the caller
// then destroys `wnd`.
void RunModal(HWND wnd, const std::function<bool()>& finished, const std::function<bool(const MSG&)>& keyHook = {});

// Lets pending window messages of the thread run (posted, sent and input), without
// waiting. Returns false when a WM_QUIT was met (it is posted again).
bool PumpPendingMessages();

// A message box with the plug-in's title, owned by `owner` (may be null).
int ShowMessage(HWND owner, const std::wstring& text, UINT flags);

// Opens the plug-in's help file at `context`. A missing file or help viewer is not an
// error: nothing opens. Returns true when the viewer was asked to open.
bool ShowHelp(HWND owner, unsigned context);

}  // namespace brenmo
