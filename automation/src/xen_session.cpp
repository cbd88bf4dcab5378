#include "xen_session.h"

#include <stdexcept>

#include "comkit/error.h"

namespace {

// A back-end session that has gone (only while the object is being built).
const char kNoBackEnd[] = "no session";

}  // namespace

void CloseAndDelete::operator()(XenSessionImpl* session) const noexcept {
  try {
    session->Close();
  } catch (...) {
    // Closing at the end is best effort; the session goes in any case.
  }
  delete session;
}

CXenSession::CXenSession() : list_(CXenVMList::Create()) {}

CXenSession::~CXenSession() {
  const int32_t count = list_->GetCount();
  for (int32_t i = 0; i < count; ++i) list_->Detach(i);
  impl_.reset();
  list_.reset();
}

void CXenSession::SetImpl(OwnedSession impl) {
  if (impl_) {
    // VMs of the old back end must not reach it once it is gone.
    const int32_t count = list_->GetCount();
    for (int32_t i = 0; i < count; ++i) list_->Detach(i);
  }
  impl_ = std::move(impl);
  if (impl_) impl_->FillVMList(list_.get());
}

HRESULT CXenSession::Operation(void (XenSessionImpl::*operation)()) {
  return comkit::Guard(CLSID_XenSession, kConnectorFailure, [&] {
    if (!impl_) throw std::runtime_error(kNoBackEnd);
    (impl_.get()->*operation)();
  });
}

STDMETHODIMP CXenSession::get_CpuUsage(double* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetCpuUsage); }

STDMETHODIMP CXenSession::get_VMList(IXenVMList** pVal) {
  if (!pVal) return E_POINTER;
  return list_->QueryInterface(IID_IXenVMList, reinterpret_cast<void**>(pVal));
}

STDMETHODIMP CXenSession::Update() { return Operation(&XenSessionImpl::Update); }
STDMETHODIMP CXenSession::ShutdownServer() { return Operation(&XenSessionImpl::ShutdownHost); }
STDMETHODIMP CXenSession::get_ServerName(BSTR* pVal) { return ReadTextProperty(impl_, pVal, &XenSessionImpl::GetServerName); }
STDMETHODIMP CXenSession::get_XenVersion(BSTR* pVal) { return ReadTextProperty(impl_, pVal, &XenSessionImpl::GetXenVersion); }

STDMETHODIMP CXenSession::get_Status(BSTR* pVal) {
  if (!pVal) return E_POINTER;
  return comkit::CopyToBstr("On", pVal);
}

STDMETHODIMP CXenSession::get_Memory(LONG* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetMemory); }
STDMETHODIMP CXenSession::get_NumCpus(LONG* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetNumCpus); }
STDMETHODIMP CXenSession::get_MemoryUsage(double* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetMemoryUsage); }
STDMETHODIMP CXenSession::RestartServer() { return Operation(&XenSessionImpl::RestartHost); }
STDMETHODIMP CXenSession::get_DiskIO(double* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetDiskIO); }
STDMETHODIMP CXenSession::get_NetworkIO(double* pVal) { return ReadProperty(impl_, pVal, &XenSessionImpl::GetNetworkIO); }
STDMETHODIMP CXenSession::get_ServerDescription(BSTR* pVal) {
  return ReadTextProperty(impl_, pVal, &XenSessionImpl::GetServerDescription);
}
STDMETHODIMP CXenSession::Close() { return Operation(&XenSessionImpl::Close); }
