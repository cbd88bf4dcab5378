#include "vantrel_client.h"

#include <cstdio>

namespace brenmo {

namespace {

// Clears the thread's error information so that a failure reads only what its own
// call left behind.
void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

void Check(HRESULT hr) {
  if (FAILED(hr)) throw CallError{hr, FailureDescription(hr)};
}

std::wstring TakeString(comkit::unique_bstr& s) {
  return s ? std::wstring(s.get(), s.length()) : std::wstring();
}

}  // namespace

HRESULT CreateVantrelFactory(IXenFactory** factory) {
  return CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IXenFactory,
                          reinterpret_cast<void**>(factory));
}

std::wstring SystemMessage(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text;
  if (n > 0 && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  if (text.empty()) {
    // Texts some systems lack for the codes that creating an object commonly gives.
    static const struct {
      HRESULT hr;
      const wchar_t* text;
    } kKnown[] = {
        {REGDB_E_CLASSNOTREG, L"Class not registered"},
        {CO_E_NOTINITIALIZED, L"CoInitialize has not been called."},
        {E_NOINTERFACE, L"No such interface supported"},
        {CO_E_DLLNOTFOUND, L"DLL for class not found"},
        {CO_E_ERRORINDLL, L"Error in the DLL"},
        {CLASS_E_CLASSNOTAVAILABLE, L"ClassFactory cannot supply requested class"},
    };
    for (const auto& known : kKnown) {
      if (known.hr == hr) return known.text;
    }
    wchar_t code[32];
    std::swprintf(code, 32, L" (0x%08lX)", static_cast<unsigned long>(hr));
    text = std::wstring(L"Automation error") + code;
  }
  return text;
}

std::wstring FailureDescription(HRESULT hr) {
  comkit::com_ptr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    comkit::unique_bstr description;
    if (SUCCEEDED(info->GetDescription(description.put())) && description && description.length() > 0) {
      return TakeString(description);
    }
  }
  return SystemMessage(hr);
}

VantrelConnection::VantrelConnection(FactoryCreator create) : create_(std::move(create)) {
  if (!create_) create_ = CreateVantrelFactory;
}

VantrelConnection::~VantrelConnection() { Release(); }

void VantrelConnection::CreateFactory(XenConnectionMode mode) {
  ClearErrorInfo();
  const HRESULT hr = create_(factory_.put());
  // The factory could not be created: the platform's text for the code.
  if (FAILED(hr) || !factory_) throw CallError{FAILED(hr) ? hr : E_POINTER, SystemMessage(FAILED(hr) ? hr : E_POINTER)};
  ClearErrorInfo();
  Check(factory_->put_ConnectionMode(mode));
}

void VantrelConnection::CreateSession(const std::wstring& host, const std::wstring& user,
                                      const std::wstring& password) {
  // The strings go as BSTRs: their lengths travel with them, so embedded nulls survive.
  comkit::unique_bstr h(SysAllocStringLen(host.data(), static_cast<UINT>(host.size())));
  comkit::unique_bstr u(SysAllocStringLen(user.data(), static_cast<UINT>(user.size())));
  comkit::unique_bstr p(SysAllocStringLen(password.data(), static_cast<UINT>(password.size())));
  if (!h || !u || !p) throw CallError{E_OUTOFMEMORY, SystemMessage(E_OUTOFMEMORY)};
  ClearErrorInfo();
  Check(factory_->CreateSession(h.get(), u.get(), p.get(), session_.put()));
  if (!session_) throw CallError{E_POINTER, SystemMessage(E_POINTER)};
}

void VantrelConnection::Update() {
  ClearErrorInfo();
  Check(session_->Update());
}

void VantrelConnection::OpenVmList() {
  ClearErrorInfo();
  Check(session_->get_VMList(list_.put()));
  if (!list_) throw CallError{E_POINTER, SystemMessage(E_POINTER)};
}

bool VantrelConnection::FirstVm() {
  comkit::com_ptr<IUnknown> unknown;
  ClearErrorInfo();
  Check(list_->get__NewEnum(unknown.put()));
  if (!unknown) throw CallError{E_POINTER, SystemMessage(E_POINTER)};
  Check(unknown->QueryInterface(IID_IEnumVARIANT, enum_.put_void()));
  return Fetch();
}

bool VantrelConnection::NextVm() { return Fetch(); }

bool VantrelConnection::Fetch() {
  vm_.reset();
  comkit::unique_variant item;
  ULONG fetched = 0;
  ClearErrorInfo();
  const HRESULT hr = enum_->Next(1, item.get(), &fetched);
  Check(hr);
  if (hr != S_OK || fetched == 0) return false;
  IUnknown* object = nullptr;
  if (item.vt() == VT_DISPATCH) object = V_DISPATCH(item.get());
  else if (item.vt() == VT_UNKNOWN) object = V_UNKNOWN(item.get());
  // An entry that is not a VM object: the same failure as a failed assignment.
  if (!object) throw CallError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
  const HRESULT qi = object->QueryInterface(IID_IXenVM, vm_.put_void());
  if (FAILED(qi) || !vm_) throw CallError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
  return true;
}

std::wstring VantrelConnection::VmName() {
  comkit::unique_bstr name;
  ClearErrorInfo();
  Check(vm_->get_Name(name.put()));
  return TakeString(name);
}

std::wstring VantrelConnection::VmStatus() {
  comkit::unique_bstr status;
  ClearErrorInfo();
  Check(vm_->get_Status(status.put()));
  return TakeString(status);
}

void VantrelConnection::Close() {
  if (!session_) return;
  ClearErrorInfo();
  Check(session_->Close());
}

void VantrelConnection::CloseQuietly() noexcept {
  if (!session_) return;
  session_->Close();
  SetErrorInfo(0, nullptr);
}

void VantrelConnection::Release() noexcept {
  vm_.reset();
  enum_.reset();
  list_.reset();
  session_.reset();
  factory_.reset();
}

}  // namespace brenmo
