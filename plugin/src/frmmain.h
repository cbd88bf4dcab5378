// frmmain, the configuration window: server, credentials, Xen version, VM, expected
// state and time-out. Its OK button writes the parameter string; its list button lists
// the server's VMs in the picker.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "ui.h"
#include "vantrel_client.h"

namespace brenmo {

class FrmMain {
 public:
  explicit FrmMain(FactoryCreator createFactory = {});
  ~FrmMain();
  FrmMain(const FrmMain&) = delete;
  FrmMain& operator=(const FrmMain&) = delete;

  // Loads the window (hidden) when it is not loaded: caption, lists, help context.
  bool Load();
  bool Loaded() const { return wnd_ != nullptr; }
  bool Showing() const { return modal_; }
  // Shows the window modally until it is unloaded (OK) or closed. Returns the
  // parameter string written by OK; nothing when the window was closed without OK
  // (Esc, the close box).
  std::optional<std::wstring> ShowModal();
  // Restores and activates the shown window, or the picker or message box it owns.
  void BringToFront();
  void Unload();

  void SetText(int controlId, const std::wstring& text);
  std::wstring Text(int controlId) const;
  // The text of cmbVMState; an entry of its list with exactly that text is selected.
  void SetVmStateText(const std::wstring& text);
  // Selects "Xen 3.x" or "Xen 4.x".
  void SelectXenVersion(bool xen3);
  bool Xen3Selected() const;

  HWND Window() const { return wnd_; }
  unsigned HelpContext() const { return helpContext_; }

  static void UnregisterWindowClass();

 private:
  void CreateControls();
  void OnOk();
  void OnListVms();
  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  HWND Control(int id) const { return wnd_ ? GetDlgItem(wnd_, id) : nullptr; }
  void SetStatus(const std::wstring& text);

  FactoryCreator createFactory_;
  HWND wnd_ = nullptr;
  comkit::unique_hfont font_;  // the controls' font, deleted when the window has gone
  DialogKeyboard keyboard_;
  unsigned helpContext_ = 0;
  bool modal_ = false;
  bool unloadRequested_ = false;
  std::optional<std::wstring> okParameter_;  // set by OK during ShowModal
  bool listing_ = false;
};

}  // namespace brenmo
