// The plug-in's use of the connector: it creates the factory by class identifier and
// calls the interfaces of the connector's type library, nothing else. A failing call
// throws CallError with the description that the caller reports.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "Vantrel.h"
#include "comkit/resources.h"

namespace brenmo {

struct CallError {
  HRESULT hr;
  std::wstring description;
};

// Creates the connector's factory; the check and the list button use
// CreateVantrelFactory, tests may hand in their own.
using FactoryCreator = std::function<HRESULT(IXenFactory** factory)>;
HRESULT CreateVantrelFactory(IXenFactory** factory);

// The platform's message text for `hr` without its line end, or "Automation error"
// with the code when the platform has none.
std::wstring SystemMessage(HRESULT hr);

// What a failed call reports: the description of the error information that the
// failing call left on the thread, else the platform's text for `hr`.
std::wstring FailureDescription(HRESULT hr);

// Factory, session, VM list and the current VM of one use of the connector. The
// destructor releases them in that reverse order; it does not close the session.
class VantrelConnection {
 public:
  explicit VantrelConnection(FactoryCreator create);
  ~VantrelConnection();
  VantrelConnection(const VantrelConnection&) = delete;
  VantrelConnection& operator=(const VantrelConnection&) = delete;

  // Creates the factory and sets its connection mode.
  void CreateFactory(XenConnectionMode mode);
  void CreateSession(const std::wstring& host, const std::wstring& user, const std::wstring& password);
  void Update();
  void OpenVmList();
  // Walks the VM list through its enumerator: FirstVm starts the walk, NextVm moves on;
  // both return false at the end.
  bool FirstVm();
  bool NextVm();
  std::wstring VmName();
  std::wstring VmStatus();
  void Close();
  // Close, ignoring any failure; does nothing without a session.
  void CloseQuietly() noexcept;
  // Releases the VM, the list, the session and the factory.
  void Release() noexcept;

 private:
  bool Fetch();
  FactoryCreator create_;
  comkit::com_ptr<IXenFactory> factory_;
  comkit::com_ptr<IXenSession> session_;
  comkit::com_ptr<IXenVMList> list_;
  comkit::com_ptr<IEnumVARIANT> enum_;
  comkit::com_ptr<IXenVM> vm_;
};

}  // namespace brenmo
