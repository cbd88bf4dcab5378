#include "ui.h"

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

DialogMetrics::DialogMetrics() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    font_ = CreateFontIndirectW(&metrics.lfMessageFont);
  }
  if (!font_) font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HDC dc = GetDC(nullptr);
  if (dc) {
    dpiX_ = GetDeviceCaps(dc, LOGPIXELSX);
    dpiY_ = GetDeviceCaps(dc, LOGPIXELSY);
    if (dpiX_ <= 0) dpiX_ = 96;
    if (dpiY_ <= 0) dpiY_ = 96;
    HGDIOBJ old = SelectObject(dc, font_);
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

HWND CreateControl(HWND parent, int id, const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle,
                   int x, int y, int w, int h) {
  const auto& m = DialogMetrics::Get();
  HWND wnd = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, m.X(x), m.Y(y), m.X(w), m.Y(h),
                             parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
  if (wnd) SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(m.Font()), FALSE);
  return wnd;
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
  const std::wstring file = ModuleDirectory() + kHelpFile;
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  // The viewer stays loaded once used: its window may outlive this call.
  static HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
  if (!viewer) return false;
  auto htmlHelp = reinterpret_cast<HtmlHelpFn>(reinterpret_cast<void*>(GetProcAddress(viewer, "HtmlHelpW")));
  if (!htmlHelp) return false;
  htmlHelp(owner, file.c_str(), kHelpContextCommand, context);
  return true;
}

std::wstring ModuleDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(ModuleInstance(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

namespace {
HINSTANCE g_instance = nullptr;
}

HINSTANCE ModuleInstance() {
  if (!g_instance) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &self);
    g_instance = self;
  }
  return g_instance;
}

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

}  // namespace brenmo
