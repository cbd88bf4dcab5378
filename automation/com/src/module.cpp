#include "comkit/module.h"

namespace comkit {
namespace {
ModuleBase* g_current = nullptr;

HINSTANCE ThisBinary() {
  HMODULE m = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&g_current), &m);
  return m;
}
}  // namespace

ModuleBase::ModuleBase() : instance_(ThisBinary()) {
  lockReady_ = InitializeCriticalSectionEx(&cs_, 0, 0) != FALSE;
  g_current = this;
}

ModuleBase::~ModuleBase() {
  if (g_current == this) g_current = nullptr;
  if (lockReady_) DeleteCriticalSection(&cs_);
}

ModuleBase* ModuleBase::Current() noexcept { return g_current; }

std::wstring ModuleBase::ModulePath() const {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(instance_, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void ModuleBase::Enter() noexcept {
  if (lockReady_) EnterCriticalSection(&cs_);
}

void ModuleBase::Leave() noexcept {
  if (lockReady_) LeaveCriticalSection(&cs_);
}

}  // namespace comkit
