#include "ui.h"

#include "base/module.h"
#include "controls.h"

namespace brenmo {

namespace {

// HH_HELP_CONTEXT of the HTML help viewer's API.
constexpr UINT kHelpContextCommand = 0x000F;
using HtmlHelpFn = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);

struct DisabledWindows {
  HWND keep;
  std::vector<HWND> windows;
};

BOOL CALLBACK DisableOne(HWND wnd, LPARAM param) {
  auto* state = reinterpret_cast<DisabledWindows*>(param);
  if (wnd != state->keep && IsWindowEnabled(wnd) && IsWindowVisible(wnd)) {
    EnableWindow(wnd, FALSE);
    state->windows.push_back(wnd);
  }
  return TRUE;
}

}  // namespace

comkit::unique_hfont CreateDialogFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return comkit::unique_hfont();
  return comkit::unique_hfont(CreateFontIndirectW(&metrics.lfMessageFont));
}

DialogMetrics::DialogMetrics() {
  comkit::unique_hfont measured = CreateDialogFont();
  HFONT font = measured.get() ? measured.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HDC dc = GetDC(nullptr);
  if (dc) {
    dpiX_ = GetDeviceCaps(dc, LOGPIXELSX);
    dpiY_ = GetDeviceCaps(dc, LOGPIXELSY);
    if (dpiX_ <= 0) dpiX_ = 96;
    if (dpiY_ <= 0) dpiY_ = 96;
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW tm{};
    SIZE size{};
    static const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    if (GetTextMetricsW(dc, &tm) && GetTextExtentPoint32W(dc, kLetters, 52, &size) && size.cx > 0) {
      baseX_ = (size.cx / 26 + 1) / 2;
      baseY_ = tm.tmHeight;
    }
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
  }
}

const DialogMetrics& DialogMetrics::Get() {
  static const DialogMetrics metrics;
  return metrics;
}

HWND CreateControl(HWND parent, HFONT font, int id, const wchar_t* cls, const wchar_t* text, DWORD style,
                   DWORD exStyle, int x, int y, int w, int h) {
  const auto& m = DialogMetrics::Get();
  HWND wnd = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, m.X(x), m.Y(y), m.X(w), m.Y(h),
                             parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), base::ThisModule(), nullptr);
  if (wnd && font) SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return wnd;
}

namespace {

bool IsPushButton(HWND control) {
  return (SendMessageW(control, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0;
}

}  // namespace

void DialogKeyboard::ShowDefault(HWND wnd, HWND focused) const {
  // A push button with the focus is the one Enter presses; elsewhere the default is.
  const bool onButton = focused && IsChild(wnd, focused) && IsPushButton(focused);
  for (HWND child = GetWindow(wnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsPushButton(child)) continue;
    const bool isDefault = onButton ? child == focused : GetDlgCtrlID(child) == defaultId_;
    const bool showsDefault = (SendMessageW(child, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) != 0;
    if (isDefault != showsDefault) SendMessageW(child, BM_SETSTYLE, isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
  }
}

bool DialogKeyboard::Handle(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
  switch (msg) {
    case DM_GETDEFID: {
      // While a push button has the focus, Enter presses that one.
      HWND focused = GetFocus();
      const int id = focused && IsChild(wnd, focused) && IsPushButton(focused) ? GetDlgCtrlID(focused) : defaultId_;
      result = id ? MAKELRESULT(id, DC_HASDEFID) : 0;
      return true;
    }
    case DM_SETDEFID:
      defaultId_ = static_cast<int>(wp);
      ShowDefault(wnd, GetFocus());
      result = TRUE;
      return true;
    case WM_NEXTDLGCTL: {
      // lParam set: wParam is the control; else wParam chooses the previous or next one.
      HWND target = lp ? reinterpret_cast<HWND>(wp) : GetNextDlgTabItem(wnd, GetFocus(), wp != 0);
      if (target && IsChild(wnd, target)) {
        if (SendMessageW(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(target, EM_SETSEL, 0, -1);
        SetFocus(target);
        ShowDefault(wnd, target);
      }
      result = 0;
      return true;
    }
    case WM_COMMAND:
      // The controls report getting the focus: remember it for the next activation.
      if (lp && (HIWORD(wp) == EN_SETFOCUS || HIWORD(wp) == CBN_SETFOCUS || HIWORD(wp) == LBN_SETFOCUS ||
                 HIWORD(wp) == BN_SETFOCUS)) {
        HWND focused = GetFocus();
        if (focused && IsChild(wnd, focused)) {
          // The edit box inside a drop-down combo box stands for the combo box.
          while (GetParent(focused) != wnd) focused = GetParent(focused);
          focus_ = focused;
          ShowDefault(wnd, focused);
        }
      }
      return false;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && !HIWORD(wp)) {
        HWND target = focus_ && IsWindow(focus_) && IsChild(wnd, focus_) ? focus_ : GetNextDlgTabItem(wnd, nullptr, FALSE);
        if (target) SetFocus(target);
      }
      result = 0;
      return true;
    default:
      return false;
  }
}

std::wstring WindowText(HWND wnd) {
  const int length = GetWindowTextLengthW(wnd);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(wnd, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

void RunModal(HWND wnd, const std::function<bool()>& finished, const std::function<bool(const MSG&)>& keyHook) {
  DisabledWindows disabled{wnd, {}};
  EnumThreadWindows(GetCurrentThreadId(), DisableOne, reinterpret_cast<LPARAM>(&disabled));
  ShowWindow(wnd, SW_SHOW);
  SetForegroundWindow(wnd);
  SetActiveWindow(wnd);
  MSG msg;
  while (IsWindow(wnd) && !finished()) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST && keyHook && keyHook(msg)) continue;
    if (IsWindow(wnd) && IsDialogMessageW(wnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // Enable the owners again before the window goes, so that activation returns to them.
  for (auto it = disabled.windows.rbegin(); it != disabled.windows.rend(); ++it) {
    if (IsWindow(*it)) EnableWindow(*it, TRUE);
  }
}

bool PumpPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

int ShowMessage(HWND owner, const std::wstring& text, UINT flags) {
  return MessageBoxW(owner, text.c_str(), kMessageBoxTitle, flags);
}

bool ShowHelp(HWND owner, unsigned context) {
  const std::wstring file = base::ModuleDirectory(base::ThisModule()) + kHelpFile;
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  // The viewer stays loaded once used: its window may outlive this call. It is loaded from
  // the system folder, never from the host application's folder or the current one.
  static HMODULE viewer = [] {
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return HMODULE{};
    return LoadLibraryExW((std::wstring(system, n) + L"\\hhctrl.ocx").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }();
  if (!viewer) return false;
  auto htmlHelp = reinterpret_cast<HtmlHelpFn>(reinterpret_cast<void*>(GetProcAddress(viewer, "HtmlHelpW")));
  if (!htmlHelp) return false;
  htmlHelp(owner, file.c_str(), kHelpContextCommand, context);
  return true;
}

}  // namespace brenmo
