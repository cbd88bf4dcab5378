// frmvmList, the VM picker: a list of the server's VM names from which the user picks
// one by double-clicking it. One picker per loaded library.
#pragma once
#include <windows.h>

#include <string>

#include "ui.h"

namespace brenmo {

class FrmVmList {
 public:
  static FrmVmList& Instance();

  bool Loaded() const { return wnd_ != nullptr; }
  // Adds an entry to listVMS, loading the picker (hidden) when it is not loaded.
  bool AddEntry(const std::wstring& name);
  void SetCaption(const std::wstring& caption);
  // Shows the picker modally over `owner` until a double-click or closing unloads it.
  void ShowModal(HWND owner);
  void Unload();
  HWND Window() const { return wnd_; }

  static void UnregisterWindowClass();

 private:
  FrmVmList() = default;
  bool Load();
  void Layout();
  void OnSelectionChanged();
  // Double-click or Enter: the selected entry becomes the shared VM selection.
  void OnDoubleClick();
  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);

  HWND wnd_ = nullptr;
  HWND list_ = nullptr;
  HWND label_ = nullptr;
  HWND tooltip_ = nullptr;
  comkit::unique_hfont font_;  // the controls' font, deleted when the window has gone
  DialogKeyboard keyboard_;
  std::wstring tip_;
  bool unloadRequested_ = false;
  bool modal_ = false;
};

}  // namespace brenmo
