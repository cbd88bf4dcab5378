#include "frmmain.h"

#include "controls.h"
#include "frmvmlist.h"
#include "params.h"
#include "shared_state.h"
#include "base/module.h"
#include "base/text.h"
#include "ui.h"

namespace brenmo {

namespace {

bool g_classRegistered = false;

// Layout in dialog units: labels in the first column, controls in the second, the OK
// button at the right of the first row, one row every 18 units.
constexpr int kMargin = 7;
constexpr int kLabelWidth = 58;
constexpr int kFieldX = kMargin + kLabelWidth + 3;
constexpr int kFieldWidth = 120;
constexpr int kButtonX = kFieldX + kFieldWidth + 8;
constexpr int kButtonWidth = 50;
constexpr int kRowPitch = 18;
constexpr int kFieldHeight = 12;
constexpr int kClientWidth = kButtonX + kButtonWidth + kMargin;

int RowY(int row) { return kMargin + (row - 1) * kRowPitch; }

std::wstring MainCaption() {
  return L"Xen Virtual Machine Checker (version " + std::to_wstring(kVersionMajor) + L"." +
         std::to_wstring(kVersionMinor) + L" build  " + std::to_wstring(kVersionRevision) + L")";
}

void FillCombo(HWND combo, std::initializer_list<const wchar_t*> entries, int selected) {
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const wchar_t* entry : entries) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

}  // namespace

FrmMain::FrmMain(FactoryCreator createFactory) : createFactory_(std::move(createFactory)) {
  if (!createFactory_) createFactory_ = CreateVantrelFactory;
}

FrmMain::~FrmMain() {
  if (wnd_) DestroyWindow(wnd_);
}

void FrmMain::UnregisterWindowClass() {
  if (g_classRegistered) UnregisterClassW(kMainWindowClass, base::ThisModule());
  g_classRegistered = false;
}

bool FrmMain::Load() {
  if (wnd_) return true;
  if (!g_classRegistered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &FrmMain::WindowProc;
    wc.hInstance = base::ThisModule();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    g_classRegistered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    if (!g_classRegistered) return false;
  }
  const auto& m = DialogMetrics::Get();
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, m.X(kClientWidth), m.Y(RowY(8) + 10 + kMargin)};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  // Centred on the screen's work area.
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + ((work.right - work.left) - width) / 2;
  const int y = work.top + ((work.bottom - work.top) - height) / 2;
  HWND wnd = CreateWindowExW(exStyle, kMainWindowClass, MainCaption().c_str(), style, x, y, width, height,
                             GetActiveWindow(), nullptr, base::ThisModule(), this);
  if (!wnd) return false;
  // wnd_ is set by WM_NCCREATE.
  font_ = CreateDialogFont();
  keyboard_ = DialogKeyboard();
  CreateControls();
  FillCombo(Control(IDC_CMBVMSTATE), {L"UP", L"DOWN", L"PAUSED", L"SUSPENDED"}, 0);
  FillCombo(Control(IDC_CMBXENVERSION), {L"Xen 3.x", L"Xen 4.x"}, 1);
  helpContext_ = kMainHelpContext;
  unloadRequested_ = false;
  return true;
}

void FrmMain::CreateControls() {
  // Labels carry the mnemonics of the fields created right after them (Alt+letter moves
  // to the field); only the status label shows its text as it is.
  const DWORD label = SS_LEFT;
  const DWORD edit = WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT;
  const DWORD button = WS_TABSTOP | BS_PUSHBUTTON | BS_NOTIFY;
  const int labelOffset = 2;  // labels sit on the text baseline of the field beside them
  HWND w = wnd_;
  HFONT f = font_.get();
  CreateControl(w, f, IDC_LABEL1, L"STATIC", L"&Hostname:", label, 0, kMargin, RowY(1) + labelOffset, kLabelWidth,
                8);
  CreateControl(w, f, IDC_TXTHOSTNAME, L"EDIT", L"", edit, WS_EX_CLIENTEDGE, kFieldX, RowY(1), kFieldWidth,
                kFieldHeight);
  CreateControl(w, f, IDC_LABEL2, L"STATIC", L"&Username:", label, 0, kMargin, RowY(2) + labelOffset, kLabelWidth,
                8);
  CreateControl(w, f, IDC_TXTUSERNAME, L"EDIT", L"", edit, WS_EX_CLIENTEDGE, kFieldX, RowY(2), kFieldWidth,
                kFieldHeight);
  CreateControl(w, f, IDC_LABEL3, L"STATIC", L"&Password:", label, 0, kMargin, RowY(3) + labelOffset, kLabelWidth,
                8);
  HWND password = CreateControl(w, f, IDC_TXTPASSWORD, L"EDIT", L"", edit | ES_PASSWORD, WS_EX_CLIENTEDGE, kFieldX,
                                RowY(3), kFieldWidth, kFieldHeight);
  if (password) SendMessageW(password, EM_SETPASSWORDCHAR, L'*', 0);
  CreateControl(w, f, IDC_LABEL8, L"STATIC", L"&Xen version:", label, 0, kMargin, RowY(4) + labelOffset,
                kLabelWidth, 8);
  CreateControl(w, f, IDC_CMBXENVERSION, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, kFieldX,
                RowY(4), kFieldWidth, 60);
  CreateControl(w, f, IDC_LABEL6, L"STATIC", L"&Virtual machine:", label, 0, kMargin, RowY(5) + labelOffset,
                kLabelWidth, 8);
  CreateControl(w, f, IDC_TXTVMNAME, L"EDIT", L"", edit, WS_EX_CLIENTEDGE, kFieldX, RowY(5), kFieldWidth - 20,
                kFieldHeight);
  CreateControl(w, f, IDC_CMDLISTVMS, L"BUTTON", L"...", button, 0, kFieldX + kFieldWidth - 17, RowY(5), 17,
                kFieldHeight);
  CreateControl(w, f, IDC_LABEL7, L"STATIC", L"&must be ", label, 0, kMargin, RowY(6) + labelOffset, kLabelWidth,
                8);
  CreateControl(w, f, IDC_CMBVMSTATE, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
                0, kFieldX, RowY(6), kFieldWidth, 70);
  CreateControl(w, f, IDC_LABEL4, L"STATIC", L"&Timeout:", label, 0, kMargin, RowY(7) + labelOffset, kLabelWidth,
                8);
  CreateControl(w, f, IDC_TXTTIMEOUT, L"EDIT", L"", edit, WS_EX_CLIENTEDGE, kFieldX, RowY(7), 40, kFieldHeight);
  CreateControl(w, f, IDC_LABEL5, L"STATIC", L"seconds", label, 0, kFieldX + 44, RowY(7) + labelOffset, 40, 8);
  CreateControl(w, f, IDC_LBLPARAMETER, L"STATIC", L"", label | SS_NOPREFIX | SS_SUNKEN, 0, kMargin, RowY(8),
                kClientWidth - 2 * kMargin, 10);
  // Created last so that Tab walks through the fields before it. Enter presses it.
  CreateControl(w, f, IDC_BTOK, L"BUTTON", L"&OK", button | BS_DEFPUSHBUTTON, 0, kButtonX, RowY(1) - 1,
                kButtonWidth, 14);
  keyboard_.SetDefaultId(IDC_BTOK);
  keyboard_.SetFocusOnActivate(GetDlgItem(w, IDC_TXTHOSTNAME));
}

std::optional<std::wstring> FrmMain::ShowModal() {
  if (!Load() || modal_) return std::nullopt;
  modal_ = true;
  unloadRequested_ = false;
  okParameter_.reset();
  HWND self = wnd_;
  RunModal(
      self, [this] { return unloadRequested_; },
      [this](const MSG& msg) {
        // F1 opens the help file at the window's context.
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_F1) {
          ShowHelp(wnd_, helpContext_);
          return true;
        }
        return false;
      });
  modal_ = false;
  if (IsWindow(self)) DestroyWindow(self);
  std::optional<std::wstring> written = std::move(okParameter_);
  okParameter_.reset();
  return written;
}

void FrmMain::BringToFront() {
  if (!wnd_) return;
  if (IsIconic(wnd_)) ShowWindow(wnd_, SW_RESTORE);
  // While the picker or a message box is up, that window is the one to use.
  HWND front = GetLastActivePopup(wnd_);
  if (!front || !IsWindowVisible(front)) front = wnd_;
  SetForegroundWindow(front);
  SetActiveWindow(front);
}

void FrmMain::Unload() {
  if (!wnd_) return;
  if (modal_) {
    unloadRequested_ = true;
    return;
  }
  DestroyWindow(wnd_);
}

void FrmMain::SetText(int controlId, const std::wstring& text) {
  if (HWND c = Control(controlId)) SetWindowTextW(c, text.c_str());
}

std::wstring FrmMain::Text(int controlId) const {
  HWND c = Control(controlId);
  return c ? WindowText(c) : std::wstring();
}

void FrmMain::SetVmStateText(const std::wstring& text) {
  HWND combo = Control(IDC_CMBVMSTATE);
  if (!combo) return;
  LRESULT match = CB_ERR;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count && match == CB_ERR; ++i) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (length == CB_ERR) continue;
    std::wstring entry(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<size_t>(length));
    if (entry == text) match = i;
  }
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(match), 0);
  SetWindowTextW(combo, text.c_str());
}

void FrmMain::SelectXenVersion(bool xen3) {
  if (HWND c = Control(IDC_CMBXENVERSION)) SendMessageW(c, CB_SETCURSEL, xen3 ? 0 : 1, 0);
}

bool FrmMain::Xen3Selected() const {
  HWND c = Control(IDC_CMBXENVERSION);
  return c && SendMessageW(c, CB_GETCURSEL, 0, 0) == 0;
}

void FrmMain::SetStatus(const std::wstring& text) {
  if (HWND label = Control(IDC_LBLPARAMETER)) {
    SetWindowTextW(label, text.c_str());
    UpdateWindow(label);
  }
}

void FrmMain::OnOk() {
  if (!modal_) return;
  okParameter_ = WriteParameterString(Text(IDC_TXTUSERNAME), base::ToNarrow(Text(IDC_TXTPASSWORD)), Xen3Selected(),
                                      Text(IDC_TXTVMNAME), Text(IDC_CMBVMSTATE));
  Unload();
}

void FrmMain::OnListVms() {
  if (listing_) return;  // a second press while the first one still runs
  listing_ = true;
  SetStatus(L"Working...");
  const std::wstring host = Text(IDC_TXTHOSTNAME);
  const std::wstring user = Text(IDC_TXTUSERNAME);
  const std::wstring password = Text(IDC_TXTPASSWORD);
  if (user.empty() || password.empty()) {
    ShowMessage(wnd_, L"Can't list the VMs with a username and/or password!", MB_OK | MB_ICONERROR);
    listing_ = false;
    return;
  }
  auto& picker = FrmVmList::Instance();
  VantrelConnection vantrel(createFactory_);
  try {
    vantrel.CreateFactory(Xen3Selected() ? MODE_XEN3_PROTOCOL : MODE_XEN4_PROTOCOL);
    vantrel.CreateSession(host, user, password);
    vantrel.OpenVmList();
    // A picker left loaded by an earlier failure must not show its old entries again.
    picker.Unload();
    long count = 0;
    for (bool more = vantrel.FirstVm(); more; more = vantrel.NextVm()) {
      ++count;
      picker.AddEntry(vantrel.VmName());
    }
    if (count == 0) {
      ShowMessage(wnd_, L"No registered virtual machines on this server", MB_OK);
      vantrel.CloseQuietly();
      listing_ = false;
      return;
    }
    picker.SetCaption(L"Registered virtual machines on " + host);
    picker.ShowModal(wnd_);
    if (!SharedVmSelection().empty()) SetText(IDC_TXTVMNAME, SharedVmSelection());
    vantrel.Close();
    vantrel.Release();
    SetStatus(L"");
  } catch (const CallError& error) {
    picker.Unload();
    ShowMessage(wnd_, error.description, MB_OK | MB_ICONERROR);
    vantrel.CloseQuietly();
  }
  listing_ = false;
}

LRESULT CALLBACK FrmMain::WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<FrmMain*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->wnd_ = wnd;
    SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<FrmMain*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (self && msg == WM_NCDESTROY) {
    // The last message, after the controls have gone: their font can go too.
    SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    self->font_.reset();
    return DefWindowProcW(wnd, msg, wp, lp);
  }
  if (self && self->wnd_ == wnd) {
    // Nothing may unwind through the system's window code; out of memory is all that
    // could be thrown here.
    try {
      return self->Handle(msg, wp, lp);
    } catch (...) {
      return 0;
    }
  }
  return DefWindowProcW(wnd, msg, wp, lp);
}

LRESULT FrmMain::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (keyboard_.Handle(wnd_, msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == IDC_BTOK) OnOk();
      if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == IDC_CMDLISTVMS) OnListVms();
      // Esc: closed without OK, as by the close box; the parameter string stays.
      if (LOWORD(wp) == IDCANCEL) Unload();
      return 0;
    case WM_HELP:
      ShowHelp(wnd_, helpContext_);
      return TRUE;
    case WM_CLOSE:
      Unload();
      return 0;
    case WM_DESTROY: {
      HWND wnd = wnd_;
      wnd_ = nullptr;
      unloadRequested_ = true;
      return DefWindowProcW(wnd, msg, wp, lp);
    }
    default:
      return DefWindowProcW(wnd_, msg, wp, lp);
  }
}

}  // namespace brenmo
