// Helpers shared by the plug-in's windows: the dialog font and its units, twips, the
// modal loop, message boxes and the help file.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace brenmo {

// The system's message font and its dialog base units. One per loaded library; the
// font is created on first use and kept until the library unloads.
class DialogMetrics {
 public:
  static const DialogMetrics& Get();
  HFONT Font() const { return font_; }
  int X(int dialogUnits) const { return MulDiv(dialogUnits, baseX_, 4); }
  int Y(int dialogUnits) const { return MulDiv(dialogUnits, baseY_, 8); }
  // Twips (1/1440 inch) to pixels with the screen's logical pixels per inch.
  int TwipsToPixelsX(int twips) const { return MulDiv(twips, dpiX_, 1440); }
  int PixelsToTwipsX(int pixels) const { return MulDiv(pixels, 1440, dpiX_); }
  int TwipsToPixelsY(int twips) const { return MulDiv(twips, dpiY_, 1440); }

 private:
  DialogMetrics();
  HFONT font_ = nullptr;
  int baseX_ = 6, baseY_ = 13, dpiX_ = 96, dpiY_ = 96;
};

// Creates a child control with the dialog font. `rect` is in dialog units.
HWND CreateControl(HWND parent, int id, const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle,
                   int x, int y, int w, int h);

std::wstring WindowText(HWND wnd);

// Shows `wnd` modally: disables every other enabled top-level window of the thread,
// shows and activates `wnd`, and dispatches messages until `finished()` turns true or
// the window is gone. Dialog keys (Tab, arrows) work; `keyHook` sees key messages
// first and may consume them. A WM_QUIT ends the loop and is posted again for the
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

// Directory of the plug-in's module file, with a trailing backslash.
std::wstring ModuleDirectory();

// The module handle of the plug-in (set by DllMain; the executable's when linked into one).
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

}  // namespace brenmo
