#include "xen_factory.h"

#include <stdexcept>

#include "comkit/error.h"
#include "comkit/strings.h"
#include "vantrel_module.h"

#ifdef VANTREL_TEST_SEAMS
namespace {
CXenFactory::SessionMaker& Maker() {
  static CXenFactory::SessionMaker maker;
  return maker;
}
}  // namespace

void CXenFactory::SetSessionMakerForTesting(SessionMaker maker) { Maker() = std::move(maker); }
#endif

STDMETHODIMP CXenFactory::CreateSession(BSTR address, BSTR userName, BSTR password, IXenSession** so) {
  if (!so) return E_POINTER;
  *so = nullptr;
  // Started by DllGetClassObject; again here when a client kept the class object after
  // DllCanUnloadNow had stopped them.
  const HRESULT started = VantrelModule().EnsureStarted();
  if (FAILED(started)) return started;
  return comkit::Guard(CLSID_XenFactory, kConnectorFailure, [&] {
    const std::string a = comkit::ToNarrow(address);
    const std::string u = comkit::ToNarrow(userName);
    const std::string p = comkit::ToNarrow(password);
    // Owned (and closed on every failure path) from the moment it exists.
#ifdef VANTREL_TEST_SEAMS
    OwnedSession impl(Maker() ? Maker()(settings_, a, u, p) : settings_.CreateSessionImpl(a, u, p));
#else
    OwnedSession impl(settings_.CreateSessionImpl(a, u, p));
#endif
    if (!impl) throw std::runtime_error(kNoSession);
    comkit::com_ptr<CXenSession> session = CXenSession::Create();
    session->SetImpl(std::move(impl));  // a failure releases the session object below
    session->QueryInterface(IID_IXenSession, reinterpret_cast<void**>(so));
  });
}

STDMETHODIMP CXenFactory::get_ConnectionMode(XenConnectionMode* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = static_cast<XenConnectionMode>(settings_.GetConnectionMode());
  return S_OK;
}

STDMETHODIMP CXenFactory::put_ConnectionMode(XenConnectionMode newVal) {
  const int32_t mode = static_cast<int32_t>(newVal);
  if (mode < MODE_AUTODETECT || mode > MODE_XEN4_PROTOCOL) return E_INVALIDARG;
  settings_.SetConnectionMode(mode);
  return S_OK;
}

STDMETHODIMP CXenFactory::get_Port(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = settings_.GetPort();
  return S_OK;
}

STDMETHODIMP CXenFactory::put_Port(LONG newVal) {
  settings_.SetPort(newVal);
  return S_OK;
}

STDMETHODIMP CXenFactory::get_RefreshingDelay(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = settings_.GetRefreshingDelay();
  return S_OK;
}

STDMETHODIMP CXenFactory::put_RefreshingDelay(LONG newVal) {
  settings_.SetRefreshingDelay(newVal);
  return S_OK;
}
