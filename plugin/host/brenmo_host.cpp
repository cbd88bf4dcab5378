// A monitoring host for the check plug-in: creates "Brenmo.xencom", sets its properties
// through IDispatch by name, runs the check or shows the configuration window, and
// prints what the plug-in answered.
//
//   brenmo_host [--host ADDRESS] [--timeout SECONDS] [--parameter TEXT] [--check] [--gui]
//
// Without --gui the check runs. Output, one line each:
//   ck_docheck=True|False      ck_result=TEXT      ck_parameter=TEXT (after --gui)
// Exit code: 0 check passed (or window closed), 1 check failed, 2 usage or COM failure.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "comkit/resources.h"

namespace {

void Print(const std::wstring& line) {
  const std::wstring text = line + L"\n";
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  // A pipe or file: UTF-8, written at once so that a reader sees it without delay.
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                                 nullptr);
  DWORD written = 0;
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(out);
}

std::wstring Hex(HRESULT hr) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return buffer;
}

int Fail(const std::wstring& what, HRESULT hr) {
  Print(L"error: " + what + L" failed with " + Hex(hr));
  return 2;
}

DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT& hr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

HRESULT PutText(IDispatch* object, const wchar_t* name, const std::wstring& text) {
  HRESULT hr;
  const DISPID id = IdOf(object, name, hr);
  if (FAILED(hr)) return hr;
  comkit::unique_variant value;
  V_VT(value.get()) = VT_BSTR;
  V_BSTR(value.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!V_BSTR(value.get())) return E_OUTOFMEMORY;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{value.get(), &named, 1, 1};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                        nullptr);
}

HRESULT Call(IDispatch* object, const wchar_t* name, WORD kind, VARIANT* result) {
  HRESULT hr;
  const DISPID id = IdOf(object, name, hr);
  if (FAILED(hr)) return hr;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &none, result, nullptr, nullptr);
}

std::wstring AsText(VARIANT* value) {
  comkit::unique_variant text;
  if (FAILED(VariantChangeType(text.get(), value, VARIANT_ALPHABOOL, VT_BSTR))) return L"(no text form)";
  BSTR s = V_BSTR(text.get());
  return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

int Run(const std::vector<std::wstring>& args) {
  bool haveHost = false, haveTimeout = false, haveParameter = false, check = false, gui = false;
  std::wstring host, timeout, parameter;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == L"--host" && hasValue) {
      host = args[++i];
      haveHost = true;
    } else if (a == L"--timeout" && hasValue) {
      timeout = args[++i];
      haveTimeout = true;
    } else if (a == L"--parameter" && hasValue) {
      parameter = args[++i];
      haveParameter = true;
    } else if (a == L"--check") {
      check = true;
    } else if (a == L"--gui") {
      gui = true;
    } else {
      Print(L"usage: brenmo_host [--host ADDRESS] [--timeout SECONDS] [--parameter TEXT] [--check] [--gui]");
      return 2;
    }
  }
  if (!gui) check = true;

  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Brenmo.xencom", &clsid);
  if (FAILED(hr)) return Fail(L"finding Brenmo.xencom", hr);
  comkit::com_ptr<IDispatch> plugin;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, plugin.put_void());
  if (FAILED(hr)) return Fail(L"creating Brenmo.xencom", hr);

  if (haveHost && FAILED(hr = PutText(plugin.get(), L"ck_hostname", host))) return Fail(L"ck_hostname", hr);
  if (haveTimeout && FAILED(hr = PutText(plugin.get(), L"ck_timeout", timeout))) return Fail(L"ck_timeout", hr);
  if (haveParameter && FAILED(hr = PutText(plugin.get(), L"ck_parameter", parameter))) {
    return Fail(L"ck_parameter", hr);
  }

  int code = 0;
  if (gui) {
    if (FAILED(hr = Call(plugin.get(), L"ck_showGUI", DISPATCH_METHOD, nullptr))) return Fail(L"ck_showGUI", hr);
    comkit::unique_variant value;
    if (FAILED(hr = Call(plugin.get(), L"ck_parameter", DISPATCH_PROPERTYGET, value.get()))) {
      return Fail(L"ck_parameter", hr);
    }
    Print(L"ck_parameter=" + AsText(value.get()));
  }
  if (check) {
    comkit::unique_variant passed;
    if (FAILED(hr = Call(plugin.get(), L"ck_docheck", DISPATCH_METHOD, passed.get()))) {
      return Fail(L"ck_docheck", hr);
    }
    const bool ok = passed.vt() == VT_BOOL && V_BOOL(passed.get()) != VARIANT_FALSE;
    Print(std::wstring(L"ck_docheck=") + (ok ? L"True" : L"False"));
    comkit::unique_variant result;
    if (FAILED(hr = Call(plugin.get(), L"ck_result", DISPATCH_PROPERTYGET, result.get()))) {
      return Fail(L"ck_result", hr);
    }
    Print(L"ck_result=" + AsText(result.get()));
    code = ok ? 0 : 1;
  }
  return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (FAILED(CoInitialize(nullptr))) {
    Print(L"error: COM could not be initialised");
    return 2;
  }
  int code;
  {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    code = Run(args);
  }
  CoUninitialize();
  return code;
}
