// CXenVM (coclass XenVM): one VM as automation clients see it. It owns its back-end VM
// and forwards the power methods to it; not creatable by clients (CXenVMList makes
// them).
#pragma once
#include <memory>

#include "vantrel_common.h"
#include "vm_impl.h"

class CXenVM : public comkit::Object<CXenVM, comkit::Dispatch<IXenVM, kVantrelTypeLib>,
                                     comkit::SupportErrorInfo<&IID_IXenVM>> {
 public:
  CXenVM() = default;

  // Takes ownership of vm, deleting a back-end VM held before.
  void SetImpl(std::unique_ptr<XenVMImpl> vm) noexcept { impl_ = std::move(vm); }
  XenVMImpl* GetImpl() const noexcept { return impl_.get(); }

  // IXenVM
  STDMETHODIMP get_CpuUsage(double* pVal) override;
  STDMETHODIMP get_Name(BSTR* pVal) override;
  STDMETHODIMP get_Description(BSTR* pVal) override;
  STDMETHODIMP get_Status(BSTR* pVal) override;
  STDMETHODIMP Start() override;
  STDMETHODIMP Shutdown() override;
  STDMETHODIMP Reboot() override;
  STDMETHODIMP Suspend() override;
  STDMETHODIMP Restore() override;
  STDMETHODIMP get_DiskIO(double* pVal) override;
  STDMETHODIMP get_Memory(LONG* pVal) override;
  STDMETHODIMP get_NetworkIO(double* pVal) override;
  STDMETHODIMP get_MemoryUsage(double* pVal) override;
  STDMETHODIMP get_NumCpus(LONG* pVal) override;

 private:
  HRESULT Power(void (XenVMImpl::*operation)());

  std::unique_ptr<XenVMImpl> impl_;
};
