#include "xen_vm_list.h"

#include <stdexcept>

// ---------------------------------------------------------------- IXenVMList

STDMETHODIMP CXenVMList::get__NewEnum(IUnknown** ppUnk) {
  if (!ppUnk) return E_POINTER;
  *ppUnk = nullptr;
  return CXenVMEnum::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(ppUnk),
                                    comkit::com_ptr<CXenVMList>(this), 0UL);
}

STDMETHODIMP CXenVMList::get_Item(LONG Index, IXenVM** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  if (Index < 1) return E_INVALIDARG;
  if (static_cast<size_t>(Index) > entries_.size()) return E_FAIL;
  return CopyInterfaceFromObj(entries_[static_cast<size_t>(Index) - 1].get(), pVal);
}

STDMETHODIMP CXenVMList::get_Count(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<LONG>(entries_.size());
  return S_OK;
}

HRESULT CXenVMList::CopyInterfaceFromObj(CXenVM* entry, IXenVM** out) noexcept {
  return entry->QueryInterface(IID_IXenVM, reinterpret_cast<void**>(out));
}

HRESULT CXenVMList::CopyVariantFromObj(CXenVM* entry, VARIANT* out) noexcept {
  VariantInit(out);
  IDispatch* disp = nullptr;
  if (SUCCEEDED(entry->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)))) {
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = disp;
    return S_OK;
  }
  IUnknown* unk = nullptr;
  const HRESULT hr = entry->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk));
  if (FAILED(hr)) return hr;
  V_VT(out) = VT_UNKNOWN;
  V_UNKNOWN(out) = unk;
  return S_OK;
}

// ---------------------------------------------------------------- IVmCollection

CXenVM& CXenVMList::At(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size())
    throw std::out_of_range("VM index out of range");
  return *entries_[static_cast<size_t>(index)];
}

int32_t CXenVMList::GetCount() { return static_cast<int32_t>(entries_.size()); }

XenVMImpl* CXenVMList::GetItem(int32_t index) { return At(index).GetImpl(); }

void CXenVMList::Add(XenVMImpl* vm) {
  std::unique_ptr<XenVMImpl> owned(vm);  // ours from here on, also when this fails
  comkit::com_ptr<CXenVM> entry = CXenVM::Create();
  entries_.reserve(entries_.size() + 1);
  entry->SetImpl(std::move(owned));
  entries_.push_back(std::move(entry));
}

void CXenVMList::Detach(int32_t index) {
  if (XenVMImpl* vm = At(index).GetImpl()) vm->SetSession(nullptr);
}

// ---------------------------------------------------------------- enumerator

STDMETHODIMP CXenVMEnum::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
  if (pCeltFetched) *pCeltFetched = 0;
  if (!rgVar || (celt > 1 && !pCeltFetched)) return E_POINTER;
  ULONG fetched = 0;
  while (fetched < celt && pos_ < list_->Size()) {
    const HRESULT hr = CXenVMList::CopyVariantFromObj(list_->Entry(pos_), &rgVar[fetched]);
    if (FAILED(hr)) {
      for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
      return hr;
    }
    ++fetched;
    ++pos_;
  }
  if (pCeltFetched) *pCeltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CXenVMEnum::Skip(ULONG celt) {
  const ULONG left = static_cast<ULONG>(list_->Size()) - pos_;
  const ULONG skipped = celt < left ? celt : left;
  pos_ += skipped;
  return skipped == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CXenVMEnum::Reset() {
  pos_ = 0;
  return S_OK;
}

STDMETHODIMP CXenVMEnum::Clone(IEnumVARIANT** ppEnum) {
  if (!ppEnum) return E_POINTER;
  return CXenVMEnum::CreateInstance(nullptr, IID_IEnumVARIANT, reinterpret_cast<void**>(ppEnum), list_, pos_);
}
