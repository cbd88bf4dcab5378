// The loaded module (DLL or program) that holds a given address, and its file name.
#pragma once
#include <windows.h>

#include <string>

namespace base {

// The module holding the address, without taking a reference to it; null when none does.
HMODULE ModuleOf(const void* address) noexcept;

// Full path of a loaded module (null: the program), however long; empty on failure.
std::wstring ModuleFileName(HMODULE module);

}  // namespace base
