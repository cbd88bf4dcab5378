#include <mutex>
#include <system_error>
#include <vector>

#include "comkit/object.h"

namespace comkit {
namespace {

struct CachedTypeInfo {
  IID iid;
  ITypeInfo* info;  // one reference
};

std::mutex& CacheLock() {
  static std::mutex lock;
  return lock;
}

// Deliberately never destroyed: at process exit the references are simply abandoned,
// since releasing them may call into a library that is already gone.
std::vector<CachedTypeInfo>& Cache() {
  static auto* cache = new std::vector<CachedTypeInfo>;
  return *cache;
}

}  // namespace

HRESULT LoadTypeInfo(const TypeLibRef& lib, REFIID iid, LCID lcid, ITypeInfo** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    std::lock_guard<std::mutex> guard(CacheLock());
    for (const auto& entry : Cache()) {
      if (IsEqualIID(entry.iid, iid)) {
        entry.info->AddRef();
        *out = entry.info;
        return S_OK;
      }
    }
    com_ptr<ITypeLib> tl;
    HRESULT hr = LoadRegTypeLib(*lib.libid, lib.major, lib.minor, lcid, tl.put());
    if (FAILED(hr) && lcid != lib.lcid) hr = LoadRegTypeLib(*lib.libid, lib.major, lib.minor, lib.lcid, tl.put());
    if (FAILED(hr)) return hr;
    com_ptr<ITypeInfo> info;
    hr = tl->GetTypeInfoOfGuid(iid, info.put());
    if (FAILED(hr)) return hr;
    Cache().push_back({iid, info.get()});
    info->AddRef();  // the cache's reference
    *out = info.detach();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::system_error&) {
    return E_UNEXPECTED;
  }
}

void ReleaseTypeInfoCache() noexcept {
  std::vector<CachedTypeInfo> entries;
  {
    std::lock_guard<std::mutex> guard(CacheLock());
    entries.swap(Cache());
  }
  for (auto& entry : entries) entry.info->Release();
}

}  // namespace comkit
