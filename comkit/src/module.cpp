#include "comkit/module.h"

#include "base/module.h"

namespace comkit {
namespace {
ModuleBase* g_current = nullptr;
}  // namespace

ModuleBase::ModuleBase() : instance_(base::ModuleOf(&g_current)) {
  lockReady_ = InitializeCriticalSectionEx(&cs_, 0, 0) != FALSE;
  g_current = this;
}

ModuleBase::~ModuleBase() {
  if (g_current == this) g_current = nullptr;
  if (lockReady_) DeleteCriticalSection(&cs_);
}

ModuleBase* ModuleBase::Current() noexcept { return g_current; }

std::wstring ModuleBase::ModulePath() const { return base::ModuleFileName(instance_); }

void ModuleBase::Enter() noexcept {
  if (lockReady_) EnterCriticalSection(&cs_);
}

void ModuleBase::Leave() noexcept {
  if (lockReady_) LeaveCriticalSection(&cs_);
}

}  // namespace comkit
