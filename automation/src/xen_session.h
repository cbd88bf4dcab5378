// CXenSession (coclass XenSession): the automation face of one back-end session. It owns
// the back-end session and the one VM list the back end fills; not creatable by clients
// (CXenFactory::CreateSession makes it).
#pragma once
#include <memory>

#include "session_impl.h"
#include "vantrel_common.h"
#include "xen_vm_list.h"

// Owner of a back-end session: closes it (ignoring a failure) before deleting it, so
// that its refresh thread has ended before anything it touches goes away.
struct CloseAndDelete {
  void operator()(XenSessionImpl* session) const noexcept;
};
using OwnedSession = std::unique_ptr<XenSessionImpl, CloseAndDelete>;

class CXenSession : public comkit::Object<CXenSession, comkit::Dispatch<IXenSession, kVantrelTypeLib>,
                                          comkit::SupportErrorInfo<&IID_IXenSession>> {
 public:
  // Creates the empty VM list; throws std::bad_alloc.
  CXenSession();
  // Detaches every VM of the list from the back end, then closes (ignoring a failure)
  // and deletes the back end, then releases the list.
  ~CXenSession() override;

  // Takes ownership of the back-end session (deleting one held before) and lets it fill
  // the VM list. A failure of the filling is thrown; the session is kept either way.
  void SetImpl(OwnedSession impl);
  XenSessionImpl* GetImpl() const noexcept { return impl_.get(); }
  CXenVMList* List() const noexcept { return list_.get(); }

  // IXenSession
  STDMETHODIMP get_CpuUsage(double* pVal) override;
  STDMETHODIMP get_VMList(IXenVMList** pVal) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP ShutdownServer() override;
  STDMETHODIMP get_ServerName(BSTR* pVal) override;
  STDMETHODIMP get_XenVersion(BSTR* pVal) override;
  STDMETHODIMP get_Status(BSTR* pVal) override;
  STDMETHODIMP get_Memory(LONG* pVal) override;
  STDMETHODIMP get_NumCpus(LONG* pVal) override;
  STDMETHODIMP get_MemoryUsage(double* pVal) override;
  STDMETHODIMP RestartServer() override;
  STDMETHODIMP get_DiskIO(double* pVal) override;
  STDMETHODIMP get_NetworkIO(double* pVal) override;
  STDMETHODIMP get_ServerDescription(BSTR* pVal) override;
  STDMETHODIMP Close() override;

 private:
  HRESULT Operation(void (XenSessionImpl::*operation)());

  comkit::com_ptr<CXenVMList> list_;  // one reference
  OwnedSession impl_;
};
