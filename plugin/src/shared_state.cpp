#include "shared_state.h"

namespace brenmo {

std::wstring& SharedParameterText() {
  static std::wstring text;
  return text;
}

std::wstring& SharedVmSelection() {
  static std::wstring selection;
  return selection;
}

}  // namespace brenmo
