#include "gui_driver.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

namespace brenmo::testing {

namespace {

struct FindState {
  const wchar_t* cls;
  HWND found;
};

BOOL CALLBACK FindVisible(HWND wnd, LPARAM param) {
  auto* state = reinterpret_cast<FindState*>(param);
  if (IsWindowVisible(wnd) && Driver::ClassOf(wnd) == state->cls) {
    state->found = wnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CloseOne(HWND wnd, LPARAM) {
  if (IsWindowVisible(wnd)) PostMessageW(wnd, WM_CLOSE, 0, 0);
  return TRUE;
}

// --- A minimal PNG writer: 8-bit RGB, zlib stream of stored blocks. ---------------
std::uint32_t Crc(const unsigned char* data, size_t size, std::uint32_t crc = 0xFFFFFFFFu) {
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

void Put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void Chunk(std::string& png, const char* type, const std::string& data) {
  Put32(png, static_cast<std::uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  png += body;
  Put32(png, Crc(reinterpret_cast<const unsigned char*>(body.data()), body.size()) ^ 0xFFFFFFFFu);
}

std::string EncodePng(int width, int height, const std::string& rgbRows) {
  std::string z = "\x78\x01";
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : rgbRows) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (size_t pos = 0; pos < rgbRows.size() || pos == 0;) {
    const size_t n = rgbRows.size() - pos < 65535 ? rgbRows.size() - pos : 65535;
    z += static_cast<char>(pos + n >= rgbRows.size() ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(rgbRows, pos, n);
    pos += n;
    if (n == 0) break;
  }
  Put32(z, (b << 16) | a);
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  Put32(header, static_cast<std::uint32_t>(width));
  Put32(header, static_cast<std::uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", "");
  return png;
}

std::wstring WindowsPath(const char* unixOrWindows) {
  std::string path = unixOrWindows ? unixOrWindows : "";
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
    for (char& c : path) c = c == '/' ? '\\' : c;
  }
  return std::wstring(path.begin(), path.end());
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                                 nullptr);
  return out;
}

void Driver::Expect(bool condition, const std::string& what) {
  if (condition) return;
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(what);
}

std::vector<std::string> Driver::Problems() {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

HWND Driver::WaitForWindow(const wchar_t* windowClass, DWORD milliseconds) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        FindState state{windowClass, nullptr};
        EnumThreadWindows(uiThread_, FindVisible, reinterpret_cast<LPARAM>(&state));
        found = state.found;
        return found != nullptr;
      },
      milliseconds);
  if (!found) Expect(false, "no visible window of class " + Narrow(windowClass));
  return found;
}

bool Driver::WaitGone(HWND wnd, DWORD milliseconds) {
  return WaitUntil([&] { return !IsWindow(wnd) || !IsWindowVisible(wnd); }, milliseconds);
}

bool Driver::WaitUntil(const std::function<bool()>& condition, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    if (condition()) return true;
    if (uiDone_ || GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

std::wstring Driver::Text(HWND wnd) {
  // WM_GETTEXT through SendMessage so that it also reads other threads' controls.
  const LRESULT length = SendMessageW(wnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
  const LRESULT copied = SendMessageW(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

std::wstring Driver::ClassOf(HWND wnd) {
  wchar_t name[256] = {};
  GetClassNameW(wnd, name, 256);
  return name;
}

void Driver::Type(HWND edit, const std::wstring& text) {
  for (wchar_t c : text) SendMessageW(edit, WM_CHAR, c, 1);
}

void Driver::Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void Driver::ClickListEntry(HWND list, int index, bool doubleClick) {
  RECT item{};
  SendMessageW(list, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(list, WM_LBUTTONUP, 0, at);
  if (doubleClick) {
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
  }
}

namespace {

INPUT Key(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return input;
}

}  // namespace

void Driver::PressKey(WORD key, bool alt) {
  std::vector<INPUT> inputs;
  if (alt) inputs.push_back(Key(VK_MENU, false));
  inputs.push_back(Key(key, false));
  inputs.push_back(Key(key, true));
  if (alt) inputs.push_back(Key(VK_MENU, true));
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void Driver::TypeKeys(const std::wstring& text) {
  std::vector<INPUT> inputs;
  for (wchar_t c : text) {
    for (bool up : {false, true}) {
      INPUT input{};
      input.type = INPUT_KEYBOARD;
      input.ki.wScan = c;
      input.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
      inputs.push_back(input);
    }
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

HWND Driver::Focus() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  return GetGUIThreadInfo(uiThread_, &info) ? info.hwndFocus : nullptr;
}

bool Driver::WaitForFocus(HWND control, DWORD milliseconds) {
  return WaitUntil([&] { return control && Focus() == control; }, milliseconds);
}

std::vector<std::wstring> Driver::ListEntries(HWND list) {
  std::vector<std::wstring> entries;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring entry(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<size_t>(length > 0 ? length : 0));
    entries.push_back(entry);
  }
  return entries;
}

std::vector<std::wstring> Driver::ComboEntries(HWND combo) {
  std::vector<std::wstring> entries;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring entry(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<size_t>(length > 0 ? length : 0));
    entries.push_back(entry);
  }
  return entries;
}

std::wstring Driver::MessageBoxText(HWND box) {
  std::wstring text;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
    const std::wstring t = Text(child);
    if (!t.empty()) text = t;
  }
  return text;
}

bool Driver::MessageBoxShowsIcon(HWND box, LPCWSTR icon) {
  HICON wanted = LoadIconW(nullptr, icon);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(child)) continue;
    if (reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)) == wanted) return true;
  }
  return false;
}

bool Driver::MessageBoxShowsAnyIcon(HWND box) {
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(child)) continue;
    if (SendMessageW(child, STM_GETICON, 0, 0) != 0) return true;
  }
  return false;
}

std::wstring Driver::SaveScreenshot(HWND wnd, const std::wstring& name) {
  const char* dir = std::getenv("BRENMO_SCREENSHOT_DIR");
  if (!dir || !*dir) return std::wstring();
  const std::wstring folder = WindowsPath(dir);
  CreateDirectoryW(folder.c_str(), nullptr);
  RECT r{};
  GetWindowRect(wnd, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return std::wstring();
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  // What the screen shows at the window's place (the window is on top while driven).
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
  GdiFlush();
  std::string rows;
  rows.reserve(static_cast<size_t>(height) * (static_cast<size_t>(width) * 3 + 1));
  const auto* pixels = static_cast<const unsigned char*>(bits);
  for (int y = 0; y < height; ++y) {
    rows += '\0';
    for (int x = 0; x < width; ++x) {
      const unsigned char* p = pixels + (static_cast<size_t>(y) * width + x) * 4;
      rows += static_cast<char>(p[2]);
      rows += static_cast<char>(p[1]);
      rows += static_cast<char>(p[0]);
    }
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const std::wstring path = folder + L"\\" + name + L".png";
  std::ofstream file(path.c_str(), std::ios::binary);
  const std::string png = EncodePng(width, height, rows);
  file.write(png.data(), static_cast<std::streamsize>(png.size()));
  return file.good() ? path : std::wstring();
}

namespace {

constexpr UINT kRunCall = WM_APP + 1;

struct UiCall {
  std::function<void()> call;
  std::atomic<bool> done{false};
};

LRESULT CALLBACK UiCallerProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != kRunCall) return DefWindowProcW(wnd, msg, wp, lp);
  std::unique_ptr<std::shared_ptr<UiCall>> posted(reinterpret_cast<std::shared_ptr<UiCall>*>(lp));
  (*posted)->call();
  (*posted)->done = true;
  return 0;
}

HWND CreateUiCaller() {
  static const ATOM registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = UiCallerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"BrenmoTestUiCaller";
    return RegisterClassW(&wc);
  }();
  if (!registered) return nullptr;
  return CreateWindowW(L"BrenmoTestUiCaller", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                       nullptr);
}

}  // namespace

bool Driver::RunOnUiThread(std::function<void()> call, DWORD milliseconds) {
  auto pending = std::make_shared<UiCall>();
  pending->call = std::move(call);
  auto* posted = new std::shared_ptr<UiCall>(pending);
  if (!uiCaller_ || !PostMessageW(uiCaller_, kRunCall, 0, reinterpret_cast<LPARAM>(posted))) {
    delete posted;
    Expect(false, "cannot post to the UI thread");
    return false;
  }
  return WaitUntil([&] { return pending->done.load(); }, milliseconds);
}

void Driver::CloseEverything() {
  while (!uiDone_) {
    EnumThreadWindows(uiThread_, CloseOne, 0);
    Sleep(100);
  }
}

std::vector<std::string> RunWithDriver(const std::function<void()>& ui, const std::function<void(Driver&)>& script) {
  Driver driver(GetCurrentThreadId());
  HWND caller = CreateUiCaller();
  driver.SetUiCaller(caller);
  std::thread thread([&] {
    script(driver);
    driver.CloseEverything();
  });
  ui();
  driver.SetUiDone();
  thread.join();
  // Calls the UI never got to are dropped, not run after the script has ended.
  if (caller) {
    MSG msg;
    while (PeekMessageW(&msg, caller, kRunCall, kRunCall, PM_REMOVE)) {
      delete reinterpret_cast<std::shared_ptr<UiCall>*>(msg.lParam);
    }
    DestroyWindow(caller);
  }
  return driver.Problems();
}

}  // namespace brenmo::testing
