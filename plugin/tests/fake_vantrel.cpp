#include "fake_vantrel.h"

#include "comkit/object.h"

namespace brenmo::testing {

namespace {

using comkit::com_ptr;

// IDispatch is not used by the plug-in, which calls the interfaces directly.
template <class I>
class NoDispatch : public I {
 public:
  using interface_type = I;
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

HRESULT Answer(const FakeFailure& failure) {
  if (FAILED(failure.hr) && !failure.description.empty()) SetThreadError(failure.description);
  return failure.hr;
}

HRESULT Text(const std::wstring& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

class FakeVm : public comkit::Object<FakeVm, NoDispatch<IXenVM>> {
 public:
  FakeVm(std::shared_ptr<FakeServer> server, long index) : server_(std::move(server)), index_(index) {
    ++server_->vmsAlive;
  }
  ~FakeVm() override { --server_->vmsAlive; }

  STDMETHODIMP get_CpuUsage(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_Name(BSTR* v) override {
    if (index_ == server_->failNameAt) return Answer(server_->name);
    return Text(server_->generatedVms >= 0 ? L"vm" : server_->vms[static_cast<size_t>(index_)].first, v);
  }
  STDMETHODIMP get_Description(BSTR* v) override { return Text(L"", v); }
  STDMETHODIMP get_Status(BSTR* v) override {
    return Text(server_->generatedVms >= 0 ? L"UP" : server_->vms[static_cast<size_t>(index_)].second, v);
  }
  STDMETHODIMP Start() override { return E_NOTIMPL; }
  STDMETHODIMP Shutdown() override { return E_NOTIMPL; }
  STDMETHODIMP Reboot() override { return E_NOTIMPL; }
  STDMETHODIMP Suspend() override { return E_NOTIMPL; }
  STDMETHODIMP Restore() override { return E_NOTIMPL; }
  STDMETHODIMP get_DiskIO(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_Memory(LONG* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_NetworkIO(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_MemoryUsage(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_NumCpus(LONG* v) override { return *v = 0, S_OK; }

 private:
  std::shared_ptr<FakeServer> server_;
  long index_;
};

long VmCount(const FakeServer& server) {
  return server.generatedVms >= 0 ? server.generatedVms : static_cast<long>(server.vms.size());
}

// The list's enumerator hands out a new VM object per entry (the VMs are made lazily
// so that very long lists cost nothing).
class FakeEnum : public comkit::Object<FakeEnum, IEnumVARIANT> {
 public:
  FakeEnum(std::shared_ptr<FakeServer> server, long position) : server_(std::move(server)), position_(position) {}

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    ULONG n = 0;
    while (n < count && position_ < VmCount(*server_)) {
      com_ptr<FakeVm> vm = FakeVm::Create(server_, position_++);
      VariantInit(&items[n]);
      V_VT(&items[n]) = VT_DISPATCH;
      V_DISPATCH(&items[n]) = static_cast<IXenVM*>(vm.detach());
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    position_ += static_cast<long>(count);
    return position_ <= VmCount(*server_) ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    return FakeEnum::CreateInstance(nullptr, IID_IEnumVARIANT, reinterpret_cast<void**>(out), server_, position_);
  }

 private:
  std::shared_ptr<FakeServer> server_;
  long position_;
};

class FakeList : public comkit::Object<FakeList, NoDispatch<IXenVMList>> {
 public:
  explicit FakeList(std::shared_ptr<FakeServer> server) : server_(std::move(server)) {}

  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    if (FAILED(server_->newEnum.hr)) return Answer(server_->newEnum);
    return FakeEnum::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(out), server_, 0L);
  }
  STDMETHODIMP get_Item(LONG index, IXenVM** out) override {
    if (index < 1 || index > VmCount(*server_)) return E_INVALIDARG;
    return FakeVm::CreateInstance(nullptr, IID_IXenVM, reinterpret_cast<void**>(out), server_, index - 1);
  }
  STDMETHODIMP get_Count(LONG* out) override { return *out = VmCount(*server_), S_OK; }

 private:
  std::shared_ptr<FakeServer> server_;
};

class FakeSession : public comkit::Object<FakeSession, NoDispatch<IXenSession>> {
 public:
  explicit FakeSession(std::shared_ptr<FakeServer> server) : server_(std::move(server)) { ++server_->sessionsAlive; }
  ~FakeSession() override { --server_->sessionsAlive; }

  STDMETHODIMP get_CpuUsage(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_VMList(IXenVMList** out) override {
    ++server_->lists;
    if (FAILED(server_->vmList.hr)) return Answer(server_->vmList);
    return FakeList::CreateInstance(nullptr, IID_IXenVMList, reinterpret_cast<void**>(out), server_);
  }
  STDMETHODIMP Update() override {
    ++server_->updates;
    if (server_->onUpdate) server_->onUpdate();
    return Answer(server_->update);
  }
  STDMETHODIMP ShutdownServer() override { return E_NOTIMPL; }
  STDMETHODIMP get_ServerName(BSTR* v) override { return Text(L"fake", v); }
  STDMETHODIMP get_XenVersion(BSTR* v) override { return Text(L"", v); }
  STDMETHODIMP get_Status(BSTR* v) override { return Text(L"On", v); }
  STDMETHODIMP get_Memory(LONG* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_NumCpus(LONG* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_MemoryUsage(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP RestartServer() override { return E_NOTIMPL; }
  STDMETHODIMP get_DiskIO(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_NetworkIO(double* v) override { return *v = 0, S_OK; }
  STDMETHODIMP get_ServerDescription(BSTR* v) override { return Text(L"", v); }
  STDMETHODIMP Close() override {
    ++server_->closes;
    return Answer(server_->close);
  }

 private:
  std::shared_ptr<FakeServer> server_;
};

class FakeFactory : public comkit::Object<FakeFactory, NoDispatch<IXenFactory>> {
 public:
  explicit FakeFactory(std::shared_ptr<FakeServer> server) : server_(std::move(server)) { ++server_->factoriesAlive; }
  ~FakeFactory() override { --server_->factoriesAlive; }

  STDMETHODIMP CreateSession(BSTR host, BSTR user, BSTR password, IXenSession** out) override {
    server_->host.assign(host, SysStringLen(host));
    server_->user.assign(user, SysStringLen(user));
    server_->password.assign(password, SysStringLen(password));
    if (FAILED(server_->createSession.hr)) return Answer(server_->createSession);
    ++server_->sessions;
    return FakeSession::CreateInstance(nullptr, IID_IXenSession, reinterpret_cast<void**>(out), server_);
  }
  STDMETHODIMP get_ConnectionMode(XenConnectionMode* v) override {
    *v = static_cast<XenConnectionMode>(server_->mode);
    return S_OK;
  }
  STDMETHODIMP put_ConnectionMode(XenConnectionMode v) override {
    if (FAILED(server_->setMode.hr)) return Answer(server_->setMode);
    server_->mode = v;
    return S_OK;
  }
  STDMETHODIMP get_Port(LONG* v) override { return *v = 0, S_OK; }
  STDMETHODIMP put_Port(LONG) override { return S_OK; }
  STDMETHODIMP get_RefreshingDelay(LONG* v) override { return *v = 5, S_OK; }
  STDMETHODIMP put_RefreshingDelay(LONG) override { return S_OK; }

 private:
  std::shared_ptr<FakeServer> server_;
};

}  // namespace

void SetThreadError(const std::wstring& description) {
  com_ptr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return;
  create->SetGUID(GUID_NULL);
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  com_ptr<IErrorInfo> info = create.query<IErrorInfo>();
  SetErrorInfo(0, info.get());
}

FactoryCreator MakeFakeFactory(std::shared_ptr<FakeServer> server) {
  return [server](IXenFactory** out) -> HRESULT {
    if (FAILED(server->createFactoryResult)) return server->createFactoryResult;
    return FakeFactory::CreateInstance(nullptr, IID_IXenFactory, reinterpret_cast<void**>(out), server);
  };
}

}  // namespace brenmo::testing
