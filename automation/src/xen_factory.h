// CXenFactory (coclass XenFactory, ProgID Vantrel.XenFactory.1): the only creatable
// class. Clients set the connection mode, port and refreshing delay and open sessions
// with CreateSession. The class can be aggregated.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "session_settings.h"
#include "vantrel_common.h"
#include "xen_session.h"

class CXenFactory : public comkit::Object<CXenFactory, comkit::Dispatch<IXenFactory, kVantrelTypeLib>,
                                          comkit::SupportErrorInfo<&IID_IXenFactory>> {
 public:
  static constexpr bool kAggregatable = true;

  CXenFactory() = default;

  // IXenFactory
  STDMETHODIMP CreateSession(BSTR address, BSTR userName, BSTR password, IXenSession** so) override;
  STDMETHODIMP get_ConnectionMode(XenConnectionMode* pVal) override;
  STDMETHODIMP put_ConnectionMode(XenConnectionMode newVal) override;
  STDMETHODIMP get_Port(LONG* pVal) override;
  STDMETHODIMP put_Port(LONG newVal) override;
  STDMETHODIMP get_RefreshingDelay(LONG* pVal) override;
  STDMETHODIMP put_RefreshingDelay(LONG newVal) override;

  const SessionSettings& Settings() const noexcept { return settings_; }

#ifdef VANTREL_TEST_SEAMS
  // Only in the test build of the objects (never in the DLL): tests put their own back
  // ends behind CreateSession. The maker receives the factory's settings and the
  // converted arguments and returns a connected session (or throws). An empty maker
  // restores SessionSettings::CreateSessionImpl.
  using SessionMaker = std::function<XenSessionImpl*(const SessionSettings&, const std::string& address,
                                                     const std::string& userName, const std::string& password)>;
  static void SetSessionMakerForTesting(SessionMaker maker);
#endif

 private:
  SessionSettings settings_;
};
