#include "frmvmlist.h"

#include <commctrl.h>

#include "base/module.h"
#include "controls.h"
#include "shared_state.h"
#include "ui.h"

namespace brenmo {

namespace {

constexpr int kInitialWidthTwips = 4800;
constexpr int kListTopTwips = 120;
constexpr int kListHeightTwips = 2400;
constexpr int kLabelGapTwips = 90;
constexpr int kLabelHeightTwips = 255;
constexpr int kBottomTwips = 120;

bool g_classRegistered = false;

bool RegisterPickerClass() {
  if (g_classRegistered) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;  // replaced per window at WM_NCCREATE
  wc.hInstance = base::ThisModule();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kPickerWindowClass;
  g_classRegistered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  return g_classRegistered;
}

}  // namespace

FrmVmList& FrmVmList::Instance() {
  static FrmVmList picker;
  return picker;
}

void FrmVmList::UnregisterWindowClass() {
  if (g_classRegistered) UnregisterClassW(kPickerWindowClass, base::ThisModule());
  g_classRegistered = false;
}

bool FrmVmList::Load() {
  if (wnd_) return true;
  if (!RegisterPickerClass()) return false;
  const auto& m = DialogMetrics::Get();
  // Window height: the list, the label under it and the margins, plus the frame.
  RECT frame{0, 0, m.TwipsToPixelsX(kInitialWidthTwips),
             m.TwipsToPixelsY(kListTopTwips + kListHeightTwips + kLabelGapTwips + kLabelHeightTwips + kBottomTwips)};
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN;
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
  wnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kPickerWindowClass, L"", style, CW_USEDEFAULT, CW_USEDEFAULT,
                         m.TwipsToPixelsX(kInitialWidthTwips), frame.bottom - frame.top, nullptr, nullptr,
                         base::ThisModule(), nullptr);
  if (!wnd_) return false;
  SetWindowLongPtrW(wnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(wnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrmVmList::WindowProc));

  list_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0, 0,
                          10, 10, wnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LISTVMS)), base::ThisModule(),
                          nullptr);
  label_ = CreateWindowExW(0, L"STATIC", L"Select a process by double clicking it.", WS_CHILD | WS_VISIBLE | SS_LEFT,
                           0, 0, 10, 10, wnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PICKER_LABEL1)),
                           base::ThisModule(), nullptr);
  font_ = CreateDialogFont();
  for (HWND child : {list_, label_}) {
    if (child && font_.get()) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  }
  // The list has the focus when the picker opens; Enter picks its selected entry (the
  // picker has no button, so IsDialogMessage sends IDOK).
  keyboard_ = DialogKeyboard();
  keyboard_.SetFocusOnActivate(list_);

  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, wnd_, nullptr,
                             base::ThisModule(), nullptr);
  if (tooltip_ && list_) {
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = wnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(list_);
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  tip_.clear();
  unloadRequested_ = false;
  Layout();
  return true;
}

bool FrmVmList::AddEntry(const std::wstring& name) {
  if (!Load() || !list_) return false;
  const LRESULT index = SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  return index != LB_ERR && index != LB_ERRSPACE;
}

void FrmVmList::SetCaption(const std::wstring& caption) {
  if (Load()) SetWindowTextW(wnd_, caption.c_str());
}

void FrmVmList::Layout() {
  if (!wnd_) return;
  const auto& m = DialogMetrics::Get();
  RECT window{};
  GetWindowRect(wnd_, &window);
  const int width = window.right - window.left;
  const int minWidth = m.TwipsToPixelsX(kPickerMinWidthTwips);
  if (width < minWidth) {
    // Setting the width sends WM_SIZE again, which lays the controls out.
    SetWindowPos(wnd_, nullptr, 0, 0, minWidth, window.bottom - window.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  RECT client{};
  GetClientRect(wnd_, &client);
  const int controlWidth = width - m.TwipsToPixelsX(kPickerMarginTwips);
  const int left = controlWidth < client.right ? (client.right - controlWidth) / 2 : 0;
  const int listTop = m.TwipsToPixelsY(kListTopTwips);
  const int listHeight = m.TwipsToPixelsY(kListHeightTwips);
  if (list_) MoveWindow(list_, left, listTop, controlWidth, listHeight, TRUE);
  if (label_) {
    MoveWindow(label_, left, listTop + listHeight + m.TwipsToPixelsY(kLabelGapTwips), controlWidth,
               m.TwipsToPixelsY(kLabelHeightTwips), TRUE);
    InvalidateRect(label_, nullptr, TRUE);
    UpdateWindow(label_);
  }
}

void FrmVmList::ShowModal(HWND owner) {
  if (!Load()) return;
  modal_ = true;
  unloadRequested_ = false;
  if (owner) {
    SetWindowLongPtrW(wnd_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    RECT o{}, w{};
    GetWindowRect(owner, &o);
    GetWindowRect(wnd_, &w);
    const int x = o.left + ((o.right - o.left) - (w.right - w.left)) / 2;
    const int y = o.top + ((o.bottom - o.top) - (w.bottom - w.top)) / 2;
    SetWindowPos(wnd_, nullptr, x < 0 ? 0 : x, y < 0 ? 0 : y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The first entry is selected, so that Enter picks something from the start.
  if (list_ && SendMessageW(list_, LB_GETCURSEL, 0, 0) == LB_ERR) SendMessageW(list_, LB_SETCURSEL, 0, 0);
  HWND self = wnd_;
  RunModal(self, [this] { return unloadRequested_; });
  modal_ = false;
  if (IsWindow(self)) DestroyWindow(self);
}

void FrmVmList::Unload() {
  if (!wnd_) return;
  if (modal_) {
    unloadRequested_ = true;
    return;
  }
  DestroyWindow(wnd_);
}

void FrmVmList::OnSelectionChanged() {
  const LRESULT index = SendMessageW(list_, LB_GETCURSEL, 0, 0);
  if (index == LB_ERR) return;
  const LRESULT length = SendMessageW(list_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == LB_ERR) return;
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(list_, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  tip_ = text;
  if (tooltip_) {
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = wnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(list_);
    tool.lpszText = tip_.data();
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void FrmVmList::OnDoubleClick() {
  int step = 10;
  const LRESULT index = SendMessageW(list_, LB_GETCURSEL, 0, 0);
  step = 20;
  std::wstring text;
  if (index != LB_ERR) {
    const LRESULT length = SendMessageW(list_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) {
      ShowMessage(wnd_, L"ERROR: " + std::to_wstring(step), MB_OK);
      return;
    }
    text.assign(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(list_, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
  }
  SharedVmSelection() = text;
  step = 40;
  Unload();
}

LRESULT CALLBACK FrmVmList::WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<FrmVmList*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self && msg == WM_NCDESTROY) {
    // The last message, after the controls have gone: their font can go too.
    SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    self->font_.reset();
    return DefWindowProcW(wnd, msg, wp, lp);
  }
  if (self && self->wnd_ == wnd) {
    try {  // nothing may unwind through the system's window code
      return self->Handle(msg, wp, lp);
    } catch (...) {
      return 0;
    }
  }
  return DefWindowProcW(wnd, msg, wp, lp);
}

LRESULT FrmVmList::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (keyboard_.Handle(wnd_, msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lp);
      info->ptMinTrackSize.x = DialogMetrics::Get().TwipsToPixelsX(kPickerMinWidthTwips);
      return 0;
    }
    case WM_SIZE:
      if (wp != SIZE_MINIMIZED) Layout();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) == IDC_LISTVMS && HIWORD(wp) == LBN_SELCHANGE) OnSelectionChanged();
      if (LOWORD(wp) == IDC_LISTVMS && HIWORD(wp) == LBN_DBLCLK) OnDoubleClick();
      if (LOWORD(wp) == IDOK) OnDoubleClick();
      if (LOWORD(wp) == IDCANCEL) Unload();  // Esc: closed without a pick
      return 0;
    case WM_CLOSE:
      Unload();
      return 0;
    case WM_DESTROY: {
      HWND wnd = wnd_;
      wnd_ = list_ = label_ = tooltip_ = nullptr;
      unloadRequested_ = true;
      return DefWindowProcW(wnd, msg, wp, lp);
    }
    default:
      return DefWindowProcW(wnd_, msg, wp, lp);
  }
}

}  // namespace brenmo
