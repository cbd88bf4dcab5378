// Lists the host facts and the VMs of a Xen host through Vantrel's interfaces, bound
// early through the type library's declarations (Vantrel.h), and starts or shuts down a
// VM on request.
//
//   list_vms HOST USER PASSWORD [MODE [PORT [VM start|shutdown]]]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Vantrel.h"

namespace {

// Owns one interface pointer.
template <class T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { if (p_) p_->Release(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T** operator&() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
 private:
  T* p_ = nullptr;
};

// Owns one BSTR.
class Bstr {
 public:
  explicit Bstr(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    s_ = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
    MultiByteToWideChar(CP_ACP, 0, text, -1, s_, n);
  }
  Bstr() = default;
  ~Bstr() { SysFreeString(s_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* operator&() { return &s_; }
  operator BSTR() const { return s_; }
  std::string Narrow() const {
    if (!s_) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, s_, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, s_, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
  }
 private:
  BSTR s_ = nullptr;
};

// The description Vantrel attached to the failed call.
std::string ErrorText(HRESULT hr) {
  std::string text;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    Bstr description;
    info->GetDescription(&description);
    text = description.Narrow();
    info->Release();
  }
  char code[32];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(code) + (text.empty() ? "" : ": " + text);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s HOST USER PASSWORD [MODE [PORT [VM start|shutdown]]]\n", argv[0]);
    return 2;
  }
  CoInitialize(nullptr);
  int rc = 0;
  {
    Ref<IXenFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IXenFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
      std::printf("Vantrel is not registered (0x%08lX)\n", static_cast<unsigned long>(hr));
      return 1;
    }
    if (argc > 4) factory->put_ConnectionMode(static_cast<XenConnectionMode>(std::atoi(argv[4])));
    if (argc > 5) factory->put_Port(std::atoi(argv[5]));

    Ref<IXenSession> session;
    hr = factory->CreateSession(Bstr(argv[1]), Bstr(argv[2]), Bstr(argv[3]), &session);
    if (FAILED(hr)) {
      std::printf("CreateSession failed: %s\n", ErrorText(hr).c_str());
      return 1;
    }
    Bstr name, version;
    LONG cpus = 0, memory = 0, count = 0;
    session->get_ServerName(&name);
    session->get_XenVersion(&version);
    session->get_NumCpus(&cpus);
    session->get_Memory(&memory);
    std::printf("Server %s, Xen %s, %ld CPUs, %ld MiB\n", name.Narrow().c_str(), version.Narrow().c_str(),
                static_cast<long>(cpus), static_cast<long>(memory));

    Ref<IXenVMList> list;
    session->get_VMList(&list);
    list->get_Count(&count);
    for (LONG i = 1; i <= count; ++i) {
      Ref<IXenVM> vm;
      if (FAILED(list->get_Item(i, &vm))) continue;
      Bstr vmName, status;
      LONG vmMemory = 0;
      vm->get_Name(&vmName);
      vm->get_Status(&status);
      vm->get_Memory(&vmMemory);
      std::printf("  %-20s %-14s %6ld MiB\n", vmName.Narrow().c_str(), status.Narrow().c_str(),
                  static_cast<long>(vmMemory));
      if (argc > 7 && vmName.Narrow() == argv[6]) {
        const std::string action = argv[7];
        hr = action == "start" ? vm->Start() : vm->Shutdown();
        if (FAILED(hr)) {
          std::printf("%s %s refused: %s\n", action.c_str(), argv[6], ErrorText(hr).c_str());
          rc = 3;
        } else {
          Bstr after;
          vm->get_Status(&after);
          std::printf("%s %s: now %s\n", action.c_str(), argv[6], after.Narrow().c_str());
        }
      }
    }
    session->Close();
  }
  CoUninitialize();
  return rc;
}
