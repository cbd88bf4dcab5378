// The configuration window and the VM picker, driven as a user would drive them (under
// Xvfb): what they show, the parameter string that OK writes, loading one back, the
// list button's messages, picking a VM, the picker's width rule and tooltip.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "controls.h"
#include "fake_vantrel.h"
#include "gui_driver.h"
#include "params.h"
#include "shared_state.h"
#include "xencom.h"

using namespace brenmo;
using brenmo::testing::Driver;
using brenmo::testing::FakeServer;
using brenmo::testing::Narrow;
using comkit::com_ptr;
using comkit::unique_variant;

namespace {

unique_variant Text(const std::wstring& text) {
  unique_variant v;
  V_VT(v.get()) = VT_BSTR;
  V_BSTR(v.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

std::wstring AsText(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"<not text>";
}

RECT ClientRectOf(HWND parent, HWND child) {
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

int ScreenDpiX() {
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(nullptr, dc);
  return dpi;
}

int Width(HWND wnd) {
  RECT r{};
  GetWindowRect(wnd, &r);
  return r.right - r.left;
}

// Base64 of "p#ss w", as the OK button writes it.
const std::wstring kPasswordBase64 = Base64Encode("p#ss w");

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    server = std::make_shared<FakeServer>();
    server->vms = {{L"web01", L"UP"}, {L"db01", L"DOWN"}, {L"build01", L"SUSPENDED"}};
  }
  void TearDown() override { CoUninitialize(); }

  com_ptr<Xencom> MakePlugin(bool realConnector = false) {
    CheckOptions options;
    options.waitMilliseconds = 0;
    if (!realConnector) options.createFactory = brenmo::testing::MakeFakeFactory(server);
    return Xencom::Create(options);
  }

  void Put(Xencom* plugin, HRESULT (STDMETHODCALLTYPE Xencom::*put)(VARIANT), const std::wstring& text) {
    auto value = Text(text);
    ASSERT_EQ((plugin->*put)(*value.get()), S_OK);
  }

  std::wstring Parameter(Xencom* plugin) {
    unique_variant value;
    plugin->get_ck_parameter(value.put());
    return AsText(*value.get());
  }

  void RunGui(Xencom* plugin, const std::function<void(Driver&)>& script) {
    const auto problems = brenmo::testing::RunWithDriver([&] { plugin->ck_showGUI(); }, script);
    for (const auto& p : problems) ADD_FAILURE() << p;
  }

  std::shared_ptr<FakeServer> server;
};

TEST_F(GuiTest, ConfigurationWindowShowsItsControlsAndOkWritesTheParameterString) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_hostname, L"  xenhost01 ");
  Put(plugin.get(), &Xencom::put_ck_timeout, L" 30 ");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    d.Expect(Driver::Text(main) == L"Xen Virtual Machine Checker (version 1.0 build  4)",
             "caption: " + Narrow(Driver::Text(main)));
    // Every named control is there, of its kind, with its caption.
    struct Expected {
      int id;
      const wchar_t* cls;
      const wchar_t* text;
    };
    const Expected expected[] = {
        {IDC_LABEL1, L"Static", L"&Hostname:"},  {IDC_BTOK, L"Button", L"&OK"},
        {IDC_LABEL2, L"Static", L"&Username:"},  {IDC_LABEL3, L"Static", L"&Password:"},
        {IDC_LABEL8, L"Static", L"&Xen version:"}, {IDC_LABEL6, L"Static", L"&Virtual machine:"},
        {IDC_CMDLISTVMS, L"Button", L"..."},    {IDC_LABEL7, L"Static", L"&must be "},
        {IDC_LABEL4, L"Static", L"&Timeout:"},   {IDC_LABEL5, L"Static", L"seconds"},
        {IDC_LBLPARAMETER, L"Static", L""},     {IDC_TXTHOSTNAME, L"Edit", L"xenhost01"},
        {IDC_TXTUSERNAME, L"Edit", L""},        {IDC_TXTPASSWORD, L"Edit", L""},
        {IDC_TXTVMNAME, L"Edit", L""},          {IDC_TXTTIMEOUT, L"Edit", L"30"},
        {IDC_CMBXENVERSION, L"ComboBox", nullptr}, {IDC_CMBVMSTATE, L"ComboBox", L"UP"},
    };
    for (const auto& e : expected) {
      HWND c = GetDlgItem(main, e.id);
      d.Expect(c != nullptr, "control " + std::to_string(e.id));
      if (!c) continue;
      d.Expect(_wcsicmp(Driver::ClassOf(c).c_str(), e.cls) == 0, "class of " + std::to_string(e.id));
      if (e.text) d.Expect(Driver::Text(c) == e.text, "text of " + std::to_string(e.id) + ": " + Narrow(Driver::Text(c)));
    }
    d.Expect(sizeof(kMainControls) / sizeof(kMainControls[0]) == 18, "name table");
    HWND password = GetDlgItem(main, IDC_TXTPASSWORD);
    d.Expect(GetWindowLongW(password, GWL_STYLE) & ES_PASSWORD, "password style");
    d.Expect(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0) == L'*', "password character");
    HWND version = GetDlgItem(main, IDC_CMBXENVERSION);
    HWND state = GetDlgItem(main, IDC_CMBVMSTATE);
    d.Expect(Driver::ComboEntries(version) == std::vector<std::wstring>{L"Xen 3.x", L"Xen 4.x"}, "versions");
    d.Expect(SendMessageW(version, CB_GETCURSEL, 0, 0) == 1, "Xen 4.x selected");
    d.Expect(Driver::ComboEntries(state) == std::vector<std::wstring>{L"UP", L"DOWN", L"PAUSED", L"SUSPENDED"},
             "states");
    d.Expect(SendMessageW(state, CB_GETCURSEL, 0, 0) == 0, "UP selected");

    // Layout: rows top to bottom, OK and "..." to the right of their boxes, all inside.
    RECT client{};
    GetClientRect(main, &client);
    const int rows[] = {IDC_TXTHOSTNAME, IDC_TXTUSERNAME, IDC_TXTPASSWORD, IDC_CMBXENVERSION,
                        IDC_TXTVMNAME,   IDC_CMBVMSTATE,  IDC_TXTTIMEOUT,  IDC_LBLPARAMETER};
    for (size_t i = 1; i < sizeof(rows) / sizeof(rows[0]); ++i) {
      const RECT above = ClientRectOf(main, GetDlgItem(main, rows[i - 1]));
      const RECT below = ClientRectOf(main, GetDlgItem(main, rows[i]));
      d.Expect(above.bottom <= below.top || rows[i - 1] == IDC_CMBXENVERSION || rows[i - 1] == IDC_CMBVMSTATE,
               "row order at " + std::to_string(i));
      d.Expect(above.top < below.top, "rows descend at " + std::to_string(i));
    }
    for (const auto& named : kMainControls) {
      const RECT r = ClientRectOf(main, GetDlgItem(main, named.id));
      if (named.id == IDC_CMBXENVERSION || named.id == IDC_CMBVMSTATE) continue;  // drop-down lists
      d.Expect(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom,
               "inside: " + Narrow(named.name));
    }
    d.Expect(ClientRectOf(main, GetDlgItem(main, IDC_BTOK)).left >=
                 ClientRectOf(main, GetDlgItem(main, IDC_TXTHOSTNAME)).right,
             "OK right of the host box");
    d.Expect(ClientRectOf(main, GetDlgItem(main, IDC_CMDLISTVMS)).left >=
                 ClientRectOf(main, GetDlgItem(main, IDC_TXTVMNAME)).right,
             "list button right of the VM box");

    Driver::Type(GetDlgItem(main, IDC_TXTUSERNAME), L"  root ");
    Driver::Type(password, L"p#ss w");
    d.Expect(Driver::Text(password) == L"p#ss w", "password typed");
    SendMessageW(version, CB_SETCURSEL, 0, 0);
    Driver::Type(GetDlgItem(main, IDC_TXTVMNAME), L" web01 ");
    SendMessageW(state, CB_SETCURSEL, 2, 0);
    d.Expect(Driver::Text(state) == L"PAUSED", "state chosen");
    Driver::SaveScreenshot(main, L"frmmain");
    Driver::Click(GetDlgItem(main, IDC_BTOK));
    d.Expect(d.WaitGone(main), "OK closes the window");
  });
  EXPECT_EQ(Parameter(plugin.get()), L"#VSTP=XEN#USR=root#PWD=" + kPasswordBase64 + L"#XVR=3#VMN=web01#VMS=PAUSED#");
}

TEST_F(GuiTest, WindowLoadsAParameterStringAndTheCloseBoxKeepsIt) {
  auto plugin = MakePlugin();
  const std::wstring given = L"#vstp=XEN#usr= Admin#pwd=" + kPasswordBase64 + L"#xvr=3#vmn=db 01#vms=SUSPENDED";
  Put(plugin.get(), &Xencom::put_ck_parameter, given);
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    d.Expect(Driver::Text(GetDlgItem(main, IDC_TXTUSERNAME)) == L" Admin", "user");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_TXTPASSWORD)) == L"p#ss w", "password decoded");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_TXTVMNAME)) == L"db 01", "VM name");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_CMBVMSTATE)) == L"SUSPENDED", "state text");
    d.Expect(SendMessageW(GetDlgItem(main, IDC_CMBVMSTATE), CB_GETCURSEL, 0, 0) == 3, "state entry");
    d.Expect(SendMessageW(GetDlgItem(main, IDC_CMBXENVERSION), CB_GETCURSEL, 0, 0) == 0, "Xen 3.x");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_TXTHOSTNAME)).empty(), "no host");
    PostMessageW(main, WM_CLOSE, 0, 0);
    d.Expect(d.WaitGone(main), "closed");
  });
  EXPECT_EQ(Parameter(plugin.get()), given);
}

TEST_F(GuiTest, VersionOtherThanThreeShowsXen4AndUnlistedStatesAreKept) {
  for (const wchar_t* given : {L"#XVR=7#VMS=CRASHED#", L"#VMS=UP#"}) {
    auto plugin = MakePlugin();
    Put(plugin.get(), &Xencom::put_ck_parameter, given);
    RunGui(plugin.get(), [&](Driver& d) {
      HWND main = d.WaitForWindow(kMainWindowClass);
      if (!main) return;
      d.Expect(SendMessageW(GetDlgItem(main, IDC_CMBXENVERSION), CB_GETCURSEL, 0, 0) == 1,
               "Xen 4.x for " + Narrow(given));
      Driver::Click(GetDlgItem(main, IDC_BTOK));
      d.WaitGone(main);
    });
    const std::wstring state = LookupValue(given, L"VMS");
    EXPECT_EQ(Parameter(plugin.get()), L"#VSTP=XEN#USR=#PWD=#XVR=4#VMN=#VMS=" + state + L"#");
  }
}

TEST_F(GuiTest, ListButtonWithoutPasswordShowsTheMessageAndSendsNothing) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_hostname, L"xenhost01");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    Driver::Type(GetDlgItem(main, IDC_TXTUSERNAME), L"root");
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    HWND box = d.WaitForMessageBox();
    if (!box) return;
    d.Expect(Driver::MessageBoxText(box) == L"Can't list the VMs with a username and/or password!",
             "message: " + Narrow(Driver::MessageBoxText(box)));
    d.Expect(Driver::Text(box) == kMessageBoxTitle, "message box title");
    d.Expect(Driver::MessageBoxShowsIcon(box, IDI_HAND), "error icon");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_LBLPARAMETER)) == L"Working...", "status while stopped");
    Driver::SaveScreenshot(box, L"message_no_password");
    Driver::PressOk(box);
    d.Expect(d.WaitGone(box), "message box closes");
    PostMessageW(main, WM_CLOSE, 0, 0);
    d.WaitGone(main);
  });
  EXPECT_TRUE(server->host.empty());
  EXPECT_EQ(server->sessions, 0);
}

TEST_F(GuiTest, ListButtonShowsThePickerAndADoubleClickChoosesTheVm) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_hostname, L"xenhost01");
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD=" + Base64Encode("secret") + L"#XVR=3#VMN=#VMS=UP#");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    HWND picker = d.WaitForWindow(kPickerWindowClass);
    if (!picker) return;
    d.Expect(Driver::Text(picker) == L"Registered virtual machines on xenhost01", "picker caption");
    d.Expect(!IsWindowEnabled(main), "configuration window disabled under the picker");
    HWND list = GetDlgItem(picker, IDC_LISTVMS);
    HWND label = GetDlgItem(picker, IDC_PICKER_LABEL1);
    d.Expect(Driver::ListEntries(list) == std::vector<std::wstring>{L"web01", L"db01", L"build01"}, "entries");
    d.Expect(Driver::Text(label) == L"Select a process by double clicking it.", "picker label");
    d.Expect(Driver::Text(GetDlgItem(main, IDC_LBLPARAMETER)) == L"Working...", "status while listing");

    // Width rule: never narrower than 3015 twips; list and label 350 twips narrower.
    const int dpi = ScreenDpiX();
    const int minimum = MulDiv(3015, dpi, 1440);
    const int margin = MulDiv(350, dpi, 1440);
    RECT r{};
    GetWindowRect(picker, &r);
    SetWindowPos(picker, nullptr, 0, 0, 40, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    d.WaitUntil([&] { return Width(picker) == minimum; }, 3000);
    d.Expect(Width(picker) == minimum, "minimum width " + std::to_string(Width(picker)) + " vs " + std::to_string(minimum));
    d.Expect(Width(list) == minimum - margin, "list width at minimum");
    d.Expect(Width(label) == minimum - margin, "label width at minimum");
    SetWindowPos(picker, nullptr, 0, 0, minimum + 150, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    d.Expect(Width(list) == minimum + 150 - margin, "list follows the width");
    d.Expect(Width(label) == minimum + 150 - margin, "label follows the width");
    SetWindowPos(picker, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);

    // A click puts the entry's text into the list's tooltip.
    Driver::ClickListEntry(list, 1, false);
    HWND tooltip = nullptr;
    std::wstring tip;
    d.WaitUntil([&] {
      tooltip = nullptr;
      for (HWND w = FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); w;
           w = FindWindowExW(nullptr, w, TOOLTIPS_CLASSW, nullptr)) {
        if (GetWindow(w, GW_OWNER) == picker) tooltip = w;
      }
      if (!tooltip) return false;
      wchar_t buffer[256] = {};
      TTTOOLINFOW tool{};
      tool.cbSize = TTTOOLINFOW_V2_SIZE;
      tool.hwnd = picker;
      tool.uId = reinterpret_cast<UINT_PTR>(list);
      tool.lpszText = buffer;
      SendMessageW(tooltip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
      tip = buffer;
      return tip == L"db01";
    }, 5000);
    d.Expect(tip == L"db01", "tooltip: " + Narrow(tip));
    Driver::SaveScreenshot(picker, L"frmvmList");

    Driver::ClickListEntry(list, 1, true);
    d.Expect(d.WaitGone(picker), "double-click unloads the picker");
    d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, IDC_TXTVMNAME)) == L"db01"; }, 5000),
             "VM name box: " + Narrow(Driver::Text(GetDlgItem(main, IDC_TXTVMNAME))));
    d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, IDC_LBLPARAMETER)).empty(); }, 5000),
             "status cleared");
    d.Expect(IsWindowEnabled(main), "configuration window enabled again");
    Driver::Click(GetDlgItem(main, IDC_BTOK));
    d.WaitGone(main);
  });
  EXPECT_EQ(server->mode, MODE_XEN3_PROTOCOL);
  EXPECT_EQ(server->host, L"xenhost01");
  EXPECT_EQ(server->password, L"secret");
  EXPECT_EQ(server->updates, 0);  // the list is read as it comes
  EXPECT_EQ(server->closes, 1);
  EXPECT_EQ(server->sessionsAlive, 0);
  EXPECT_EQ(SharedVmSelection(), L"db01");
  EXPECT_EQ(LookupValue(Parameter(plugin.get()), L"VMN"), L"db01");
}

TEST_F(GuiTest, ClosingThePickerKeepsTheEarlierSelection) {
  SharedVmSelection() = L"picked before";
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD=" + Base64Encode("secret") + L"#VMN=web01#");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    HWND picker = d.WaitForWindow(kPickerWindowClass);
    if (!picker) return;
    PostMessageW(picker, WM_CLOSE, 0, 0);
    d.Expect(d.WaitGone(picker), "picker closes");
    d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, IDC_TXTVMNAME)) == L"picked before"; }, 5000),
             "earlier selection put back");
    PostMessageW(main, WM_CLOSE, 0, 0);
    d.WaitGone(main);
  });
  EXPECT_EQ(server->closes, 1);
}

TEST_F(GuiTest, ListButtonReportsNoVmsAndFailures) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD=" + Base64Encode("secret") + L"#");
  server->vms.clear();
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    HWND box = d.WaitForMessageBox();
    if (!box) return;
    d.Expect(Driver::MessageBoxText(box) == L"No registered virtual machines on this server",
             "no VMs: " + Narrow(Driver::MessageBoxText(box)));
    d.Expect(!Driver::MessageBoxShowsAnyIcon(box), "no icon");
    Driver::PressOk(box);
    d.WaitGone(box);
    d.Expect(FindWindowW(kPickerWindowClass, nullptr) == nullptr || !IsWindowVisible(FindWindowW(kPickerWindowClass, nullptr)),
             "no picker");

    // Now the server refuses the login.
    server->createSession = {static_cast<HRESULT>(0x80043000), L"Wrong user or password"};
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    box = d.WaitForMessageBox();
    if (!box) return;
    d.Expect(Driver::MessageBoxText(box) == L"Wrong user or password", "failure: " + Narrow(Driver::MessageBoxText(box)));
    d.Expect(Driver::MessageBoxShowsIcon(box, IDI_HAND), "error icon");
    Driver::PressOk(box);
    d.WaitGone(box);
    d.Expect(Driver::Text(GetDlgItem(main, IDC_LBLPARAMETER)) == L"Working...", "status kept after a failure");
    PostMessageW(main, WM_CLOSE, 0, 0);
    d.WaitGone(main);
  });
  EXPECT_EQ(server->closes, 1);  // the empty list's session; the refused one never opened
  EXPECT_EQ(server->sessionsAlive, 0);
}

TEST_F(GuiTest, BadParameterShowsTheStepAndLeavesTheParameterAlone) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD==AAA#");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND box = d.WaitForMessageBox();
    if (!box) return;
    d.Expect(Driver::MessageBoxText(box) == L"ERROR: 60", "message: " + Narrow(Driver::MessageBoxText(box)));
    HWND main = FindWindowW(kMainWindowClass, nullptr);
    d.Expect(!main || !IsWindowVisible(main), "configuration window not shown");
    Driver::PressOk(box);
  });
  EXPECT_EQ(Parameter(plugin.get()), L"#USR=root#PWD==AAA#");
}

TEST_F(GuiTest, HelpKeyWithoutHelpFileLeavesTheWindowWorking) {
  auto plugin = MakePlugin();
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    HWND user = GetDlgItem(main, IDC_TXTUSERNAME);
    PostMessageW(user, WM_KEYDOWN, VK_F1, 1);
    PostMessageW(user, WM_KEYUP, VK_F1, 0xC0000001);
    HELPINFO help{sizeof(help), HELPINFO_WINDOW, IDC_TXTUSERNAME, user, 0, {0, 0}};
    SendMessageW(main, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
    Driver::Type(user, L"after help");
    Driver::Click(GetDlgItem(main, IDC_BTOK));
    d.Expect(d.WaitGone(main), "window still answers");
  });
  EXPECT_EQ(LookupValue(Parameter(plugin.get()), L"USR"), L"after help");
}

// The keyboard, with real key strokes: Alt and a label's letter moves to its field,
// the arrows change a list, Enter presses OK.
TEST_F(GuiTest, KeyboardMnemonicsMoveToTheFieldsAndEnterPressesOk) {
  auto plugin = MakePlugin();
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    d.Expect(d.WaitForFocus(GetDlgItem(main, IDC_TXTHOSTNAME)), "the host box has the focus at the start");
    const struct {
      WORD letter;
      int field;
      const wchar_t* typed;
    } fields[] = {{'U', IDC_TXTUSERNAME, L"root"}, {'P', IDC_TXTPASSWORD, L"pw"}, {'V', IDC_TXTVMNAME, L"web01"}};
    for (const auto& f : fields) {
      Driver::PressKey(f.letter, true);
      d.Expect(d.WaitForFocus(GetDlgItem(main, f.field)), "Alt+" + std::string(1, static_cast<char>(f.letter)));
      Driver::TypeKeys(f.typed);
      d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, f.field)) == f.typed; }, 5000),
               "typed into " + std::to_string(f.field));
    }
    Driver::PressKey('X', true);
    d.Expect(d.WaitForFocus(GetDlgItem(main, IDC_CMBXENVERSION)), "Alt+X");
    Driver::PressKey(VK_UP);
    d.Expect(d.WaitUntil([&] { return SendMessageW(GetDlgItem(main, IDC_CMBXENVERSION), CB_GETCURSEL, 0, 0) == 0; },
                         5000),
             "Up selects Xen 3.x");
    Driver::PressKey(VK_RETURN);
    d.Expect(d.WaitGone(main), "Enter presses OK");
  });
  EXPECT_EQ(Parameter(plugin.get()), L"#VSTP=XEN#USR=root#PWD=" + Base64Encode("pw") + L"#XVR=3#VMN=web01#VMS=UP#");
}

TEST_F(GuiTest, EscapeClosesWithoutAChangeAndTheFocusComesBackAfterAMessage) {
  auto plugin = MakePlugin();
  const std::wstring given = L"#VSTP=XEN#USR=admin#PWD=#XVR=4#VMN=web01#VMS=UP#";
  Put(plugin.get(), &Xencom::put_ck_parameter, given);
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    HWND list = GetDlgItem(main, IDC_CMDLISTVMS);
    d.Expect(d.WaitForFocus(GetDlgItem(main, IDC_TXTHOSTNAME)), "start");
    Driver::PressKey('U', true);
    d.WaitForFocus(GetDlgItem(main, IDC_TXTUSERNAME));
    Driver::TypeKeys(L"root");
    // Tab from the VM box to the list button; Enter presses the focused button.
    Driver::PressKey('V', true);
    d.WaitForFocus(GetDlgItem(main, IDC_TXTVMNAME));
    Driver::PressKey(VK_TAB);
    d.Expect(d.WaitForFocus(list), "Tab moves to the list button");
    Driver::PressKey(VK_RETURN);
    HWND box = d.WaitForMessageBox();
    if (!box) return;
    d.Expect(Driver::MessageBoxText(box) == L"Can't list the VMs with a username and/or password!",
             "message: " + Narrow(Driver::MessageBoxText(box)));
    Driver::PressKey(VK_RETURN);
    d.Expect(d.WaitGone(box), "Enter closes the message box");
    d.Expect(d.WaitForFocus(list), "the focus is back on the list button");
    Driver::PressKey(VK_ESCAPE);
    d.Expect(d.WaitGone(main), "Esc closes the window");
  });
  EXPECT_EQ(Parameter(plugin.get()), given);
  EXPECT_EQ(server->sessions, 0);
}

// A second ck_showGUI while the window is shown (a message of the host's handled in the
// window's loop) brings the window forward and leaves what the user typed alone.
TEST_F(GuiTest, SecondShowGuiBringsTheOpenWindowForwardAndChangesNothing) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#VSTP=XEN#USR=admin#PWD=#XVR=3#VMN=web01#VMS=DOWN#");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    HWND user = GetDlgItem(main, IDC_TXTUSERNAME);
    d.Expect(d.WaitForFocus(GetDlgItem(main, IDC_TXTHOSTNAME)), "start");
    Driver::PressKey('U', true);  // selects the box's text
    d.Expect(d.WaitForFocus(user), "Alt+U");
    Driver::TypeKeys(L"root");
    d.Expect(d.WaitUntil([&] { return Driver::Text(user) == L"root"; }, 5000), "typed: " + Narrow(Driver::Text(user)));
    ShowWindowAsync(main, SW_MINIMIZE);
    d.Expect(d.WaitUntil([&] { return IsIconic(main) != FALSE; }, 5000), "minimised");
    d.Expect(d.RunOnUiThread([&] { plugin->ck_showGUI(); }), "the second call returns without a message box");
    d.Expect(!IsIconic(main) && GetForegroundWindow() == main, "the window is in front again");
    d.Expect(Driver::Text(user) == L"root", "typed text kept: " + Narrow(Driver::Text(user)));
    d.Expect(d.WaitForFocus(user), "the focus is back in the box");
    Driver::TypeKeys(L"2");
    Driver::PressKey(VK_RETURN);
    d.Expect(d.WaitGone(main), "Enter presses OK");
  });
  EXPECT_EQ(Parameter(plugin.get()), L"#VSTP=XEN#USR=root2#PWD=#XVR=3#VMN=web01#VMS=DOWN#");
}

TEST_F(GuiTest, PickerOpensOnTheListEnterPicksAndEscapePicksNothing) {
  SharedVmSelection().clear();
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD=" + Base64Encode("secret") + L"#");
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    HWND button = GetDlgItem(main, IDC_CMDLISTVMS);
    for (WORD key : {VK_RETURN, VK_ESCAPE}) {
      const std::string what = key == VK_RETURN ? "Enter: " : "Esc: ";
      Driver::Click(button);
      HWND picker = d.WaitForWindow(kPickerWindowClass);
      if (!picker) return;
      HWND list = GetDlgItem(picker, IDC_LISTVMS);
      d.Expect(d.WaitForFocus(list), what + "the list has the focus");
      d.Expect(SendMessageW(list, LB_GETCURSEL, 0, 0) == 0, what + "the first entry is selected");
      Driver::PressKey(VK_DOWN);
      if (key == VK_ESCAPE) Driver::PressKey(VK_DOWN);
      const LRESULT wanted = key == VK_RETURN ? 1 : 2;
      d.Expect(d.WaitUntil([&] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == wanted; }, 5000),
               what + "Down moves the selection");
      Driver::PressKey(key);
      d.Expect(d.WaitGone(picker), what + "the picker closes");
      // Enter picked db01; Esc left that pick, so db01 is put back, not build01.
      d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, IDC_TXTVMNAME)) == L"db01"; }, 5000),
               what + "VM name box: " + Narrow(Driver::Text(GetDlgItem(main, IDC_TXTVMNAME))));
      d.Expect(d.WaitForFocus(button), what + "the focus is back on the list button");
    }
    Driver::PressKey(VK_ESCAPE);
    d.WaitGone(main);
  });
  EXPECT_EQ(SharedVmSelection(), L"db01");
  EXPECT_EQ(server->closes, 2);
}

TEST_F(GuiTest, WindowsDeleteTheirFontWhenTheyGo) {
  auto plugin = MakePlugin();
  Put(plugin.get(), &Xencom::put_ck_parameter, L"#USR=root#PWD=" + Base64Encode("secret") + L"#");
  HFONT mainFont = nullptr;
  RunGui(plugin.get(), [&](Driver& d) {
    HWND main = d.WaitForWindow(kMainWindowClass);
    if (!main) return;
    mainFont = reinterpret_cast<HFONT>(SendMessageW(GetDlgItem(main, IDC_TXTHOSTNAME), WM_GETFONT, 0, 0));
    d.Expect(GetObjectType(mainFont) == OBJ_FONT, "the window's font");
    Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
    HWND picker = d.WaitForWindow(kPickerWindowClass);
    if (!picker) return;
    const auto pickerFont = reinterpret_cast<HFONT>(SendMessageW(GetDlgItem(picker, IDC_LISTVMS), WM_GETFONT, 0, 0));
    d.Expect(GetObjectType(pickerFont) == OBJ_FONT && pickerFont != mainFont, "the picker's own font");
    PostMessageW(picker, WM_CLOSE, 0, 0);
    d.WaitGone(picker);
    d.Expect(d.WaitUntil([&] { return GetObjectType(pickerFont) == 0; }, 5000), "the picker's font is deleted");
    d.Expect(GetObjectType(mainFont) == OBJ_FONT, "the window's font stays while it is open");
    PostMessageW(main, WM_CLOSE, 0, 0);
    d.WaitGone(main);
  });
  EXPECT_NE(mainFont, nullptr);
  EXPECT_EQ(GetObjectType(mainFont), 0u);
}

// Against the simulated host on its default ports (run by the sim test with
// BRENMO_SIM_USER and BRENMO_SIM_PASSWORD set), with the real connector.
TEST_F(GuiTest, SimulatedHostListsItsVmsOnBothProtocols) {
  const char* user = std::getenv("BRENMO_SIM_USER");
  const char* password = std::getenv("BRENMO_SIM_PASSWORD");
  const char* names = std::getenv("BRENMO_SIM_VMS");  // expected entries, comma-separated
  if (!user || !password || !names) GTEST_SKIP() << "needs the simulated host";
  std::vector<std::wstring> expected;
  for (std::string all = names; !all.empty();) {
    const auto comma = all.find(',');
    const std::string one = all.substr(0, comma);
    expected.emplace_back(one.begin(), one.end());
    all = comma == std::string::npos ? std::string() : all.substr(comma + 1);
  }
  for (const wchar_t* xvr : {L"3", L"4"}) {
    SharedVmSelection().clear();
    auto plugin = MakePlugin(true);
    Put(plugin.get(), &Xencom::put_ck_hostname, L"127.0.0.1");
    const std::string u(user), p(password);
    Put(plugin.get(), &Xencom::put_ck_parameter,
        L"#USR=" + std::wstring(u.begin(), u.end()) + L"#PWD=" + Base64Encode(p) + L"#XVR=" + xvr + L"#VMN=#VMS=UP#");
    RunGui(plugin.get(), [&](Driver& d) {
      HWND main = d.WaitForWindow(kMainWindowClass);
      if (!main) return;
      Driver::Click(GetDlgItem(main, IDC_CMDLISTVMS));
      HWND picker = d.WaitForWindow(kPickerWindowClass, 40000);
      if (!picker) {
        if (HWND box = d.WaitForMessageBox(1000)) d.Expect(false, "message: " + Narrow(Driver::MessageBoxText(box)));
        return;
      }
      HWND list = GetDlgItem(picker, IDC_LISTVMS);
      const auto entries = Driver::ListEntries(list);
      d.Expect(entries == expected, "entries on xen" + Narrow(xvr));
      const int last = static_cast<int>(entries.size()) - 1;
      Driver::ClickListEntry(list, last, true);
      d.Expect(d.WaitGone(picker), "picker unloads");
      d.Expect(d.WaitUntil([&] { return Driver::Text(GetDlgItem(main, IDC_TXTVMNAME)) == expected.back(); }, 10000),
               "VM name box after the pick");
      Driver::Click(GetDlgItem(main, IDC_BTOK));
      d.WaitGone(main, 20000);
    });
    EXPECT_EQ(LookupValue(Parameter(plugin.get()), L"VMN"), expected.back()) << "xen" << Narrow(xvr);
  }
}

}  // namespace
