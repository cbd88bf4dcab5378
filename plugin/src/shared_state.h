// The two texts shared by every instance and window of the loaded library: the
// parameter text that the OK button of the configuration window fills, and the VM
// selection that a double-click in the picker fills. Both live until the library
// unloads and are never reset. Only the thread that shows the windows uses them.
#pragma once
#include <string>

namespace brenmo {

std::wstring& SharedParameterText();
std::wstring& SharedVmSelection();

}  // namespace brenmo
