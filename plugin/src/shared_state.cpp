#include "shared_state.h"

namespace brenmo {

std::wstring& SharedVmSelection() {
  static std::wstring selection;
  return selection;
}

}  // namespace brenmo
