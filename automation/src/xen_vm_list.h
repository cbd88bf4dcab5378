// CXenVMList (coclass XenVMList): a session's VMs as automation clients see them, and
// the IVmCollection into which the back end puts them. Not creatable by clients; the
// back end reaches the collection through a plain pointer, never QueryInterface.
#pragma once
#include <memory>
#include <vector>

#include "session_impl.h"
#include "vantrel_common.h"
#include "xen_vm.h"

class CXenVMList : public comkit::Object<CXenVMList, comkit::Dispatch<IXenVMList, kVantrelTypeLib>>,
                   public IVmCollection {
 public:
  CXenVMList() = default;

  // IXenVMList
  STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
  STDMETHODIMP get_Item(LONG Index, IXenVM** pVal) override;
  STDMETHODIMP get_Count(LONG* pVal) override;

  // IVmCollection (zero-based indexes; an index outside the list throws
  // std::out_of_range).
  int32_t GetCount() override;
  XenVMImpl* GetItem(int32_t index) override;
  void Add(XenVMImpl* vm) override;
  void Detach(int32_t index) override;

  // The entries, for the enumerator.
  size_t Size() const noexcept { return entries_.size(); }
  CXenVM* Entry(size_t index) const noexcept { return entries_[index].get(); }

  // Copy policies of the collection: an entry as an IXenVM pointer with one added
  // reference, and as a VARIANT (VT_DISPATCH when the entry offers IDispatch, otherwise
  // VT_UNKNOWN); out must not own anything.
  static HRESULT CopyInterfaceFromObj(CXenVM* entry, IXenVM** out) noexcept;
  static HRESULT CopyVariantFromObj(CXenVM* entry, VARIANT* out) noexcept;

 private:
  CXenVM& At(int32_t index) const;

  std::vector<comkit::com_ptr<CXenVM>> entries_;  // one reference each
};

// The enumerator handed out by _NewEnum: walks the list's entries while holding a
// reference to the list.
class CXenVMEnum : public comkit::Object<CXenVMEnum, IEnumVARIANT> {
 public:
  CXenVMEnum(comkit::com_ptr<CXenVMList> list, ULONG position) : list_(std::move(list)), pos_(position) {}

  STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

 private:
  comkit::com_ptr<CXenVMList> list_;
  ULONG pos_;
};
