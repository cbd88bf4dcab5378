// CVantrelModule: the module of Vantrel.dll. Its one creatable class is XenFactory
// (registry script 102), beside the application identifier (script 101); its hooks start
// and stop the libraries the connector uses, and keep the DLL loaded while a refresh
// thread still runs.
#pragma once
#include <windows.h>

#include "comkit/module.h"

// {7804C496-5DB9-4A54-84E6-9E839B897F5D}
inline constexpr GUID kVantrelAppId = {0x7804c496, 0x5db9, 0x4a54, {0x84, 0xe6, 0x9e, 0x83, 0x9b, 0x89, 0x7f, 0x5d}};
inline constexpr UINT kAppIdScript = 101;
inline constexpr UINT kXenFactoryScript = 102;

class CVantrelModule final : public comkit::Module {
 public:
  CVantrelModule() noexcept;

 protected:
  // Windows sockets, OpenSSL (reading no configuration file and leaving its clean-up to
  // Unloading), libxml2, the XenAPI library and libcurl. On a failure nothing stays
  // started.
  HRESULT Start() noexcept override;
  // Their clean-up in the reverse order, all but OpenSSL's, which could not start again
  // in this mapping of the library.
  void Stop() noexcept override;
  // A refresh thread still finishing a pass runs code of this library, even when every
  // object is gone. (A worker that has counted itself out still holds its own reference
  // to the module until it has left, and touches none of the libraries any more.)
  bool Busy() noexcept override;
  // OpenSSL's clean-up. The other libraries were stopped when DllCanUnloadNow allowed
  // the unload; were they not (a client freeing the library without asking), they stay
  // as they are: their clean-up frees libraries of its own, which DllMain must not do.
  void Unloading() noexcept override;

 private:
  bool opensslStarted_ = false;
};

CVantrelModule& VantrelModule();
