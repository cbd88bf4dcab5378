#include "xen_vm.h"

#include <stdexcept>

#include "comkit/error.h"

HRESULT CXenVM::Power(void (XenVMImpl::*operation)()) {
  return comkit::Guard(CLSID_XenVM, kConnectorFailure, [&] {
    if (!impl_) throw std::runtime_error(kNoSession);
    (impl_.get()->*operation)();
  });
}

STDMETHODIMP CXenVM::get_CpuUsage(double* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetCpuUsage); }
STDMETHODIMP CXenVM::get_Name(BSTR* pVal) { return ReadTextProperty(impl_, pVal, &XenVMImpl::GetName); }
STDMETHODIMP CXenVM::get_Description(BSTR* pVal) { return ReadTextProperty(impl_, pVal, &XenVMImpl::GetDescription); }
STDMETHODIMP CXenVM::get_Status(BSTR* pVal) { return ReadTextProperty(impl_, pVal, &XenVMImpl::GetStatus); }
STDMETHODIMP CXenVM::Start() { return Power(&XenVMImpl::Start); }
STDMETHODIMP CXenVM::Shutdown() { return Power(&XenVMImpl::Shutdown); }
STDMETHODIMP CXenVM::Reboot() { return Power(&XenVMImpl::Reboot); }
STDMETHODIMP CXenVM::Suspend() { return Power(&XenVMImpl::Suspend); }
STDMETHODIMP CXenVM::Restore() { return Power(&XenVMImpl::Restore); }
STDMETHODIMP CXenVM::get_DiskIO(double* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetDiskIO); }
STDMETHODIMP CXenVM::get_Memory(LONG* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetMemory); }
STDMETHODIMP CXenVM::get_NetworkIO(double* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetNetworkIO); }
STDMETHODIMP CXenVM::get_MemoryUsage(double* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetMemoryUsage); }
STDMETHODIMP CXenVM::get_NumCpus(LONG* pVal) { return ReadProperty(impl_, pVal, &XenVMImpl::GetNumCpus); }
