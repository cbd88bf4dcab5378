// The VM selection shared by every instance and window of the loaded library: a
// double-click in the picker fills it. It lives until the library unloads and is never
// reset. Only the thread that shows the windows uses it.
#pragma once
#include <string>

namespace brenmo {

std::wstring& SharedVmSelection();

}  // namespace brenmo
