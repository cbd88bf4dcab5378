#include "vantrel_module.h"

#include <winsock2.h>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <openssl/ssl.h>

#include "comkit/class_factory.h"
#include "refresh_thread.h"
#include "xen_factory.h"
#include "xenapi.h"

namespace {

const comkit::ClassEntry kClasses[] = {comkit::ClassOf<CXenFactory>(CLSID_XenFactory, kXenFactoryScript)};

CVantrelModule g_module;

}  // namespace

CVantrelModule::CVantrelModule() noexcept : Module(kClasses, {&kVantrelAppId, kAppIdScript}) {}

CVantrelModule& VantrelModule() { return g_module; }

HRESULT CVantrelModule::Start() noexcept {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return E_FAIL;
  // OpenSSL first, before libcurl or a TLS context asks it to start with its defaults:
  // no configuration file, wherever one lies (the first start decides for the whole
  // process), and no clean-up of its own at exit, where it would run in DllMain.
  if (!opensslStarted_) {
    opensslStarted_ = OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT |
                                           OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                       nullptr) == 1;
    if (!opensslStarted_) {
      WSACleanup();
      return E_FAIL;
    }
  }
  xmlInitParser();
  xenapi_global_init();
  if (curl_global_init(0) != CURLE_OK) {
    xenapi_global_cleanup();
    xmlCleanupParser();
    WSACleanup();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void CVantrelModule::Stop() noexcept {
  curl_global_cleanup();
  xenapi_global_cleanup();
  xmlCleanupParser();
  WSACleanup();
}

bool CVantrelModule::Busy() noexcept { return RefreshThread::LiveThreads() != 0; }

void CVantrelModule::Unloading() noexcept {
  if (opensslStarted_) OPENSSL_cleanup();
  opensslStarted_ = false;
}

// ---------------------------------------------------------------- exports

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return g_module.GetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer() { return g_module.RegisterServer(); }

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }
