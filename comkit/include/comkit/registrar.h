// Registry scripts and type-library registration.
//
// Script syntax (keywords are case-insensitive, tokens are separated by white space,
// a name with spaces or special characters is quoted with ' and a ' inside is doubled):
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {guid} = s 'Class name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Roots: HKCR, HKCU, HKLM, HKU and their long names. A key may carry a default value
// ("= s 'text'" or "= d number") and a block with named values ("val Name = s 'text'")
// and subkeys. %NAME% is replaced inside names and values by the given replacement
// (%% is a single %); an unknown name is an error.
//
// Registration creates every key and writes its values; a ForceRemove key is first
// deleted with everything below it. Unregistration walks the same tree: a NoRemove key
// stays (only what is listed under it is removed), a ForceRemove key is deleted whole,
// any other key loses the named values listed for it and is deleted when no subkeys
// are left in it.
#pragma once
#include <windows.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace comkit::registry {

struct Value {
  std::wstring name;  // empty: the key's default value
  DWORD type = REG_SZ;
  std::wstring text;  // REG_SZ
  DWORD number = 0;   // REG_DWORD
};

struct Key {
  std::wstring name;
  bool noRemove = false;
  bool forceRemove = false;
  std::optional<Value> defaultValue;
  std::vector<Value> values;
  std::vector<Key> subkeys;
};

struct RootBlock {
  std::wstring root;  // as written: HKCR, HKEY_CLASSES_ROOT, ...
  std::vector<Key> keys;
};

using Replacements = std::map<std::wstring, std::wstring>;

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a script; throws ScriptError with the line number for malformed text.
std::vector<RootBlock> ParseScript(const std::wstring& text, const Replacements& replacements);

// Maps a root name to an open key (by default the predefined keys). Returns null for an
// unknown root.
using RootResolver = HKEY (*)(const std::wstring& root);
HKEY PredefinedRoot(const std::wstring& root);

// Runs a parsed script. Returns S_OK or the first failing result (as an HRESULT from
// the registry's error code); unregistration treats missing keys and values as done.
HRESULT Apply(const std::vector<RootBlock>& script, bool registering, RootResolver resolve = PredefinedRoot);

// Parses and runs script text; a malformed script gives DISP_E_EXCEPTION.
HRESULT RunScript(const std::wstring& text, const Replacements& replacements, bool registering,
                  RootResolver resolve = PredefinedRoot);

// Runs the script stored in resource (type "REGISTRY", identifier id) of module.
HRESULT RunScriptResource(HMODULE module, UINT id, const Replacements& replacements, bool registering);

// Registers the type library stored as resource TYPELIB 1 of the module at modulePath,
// or removes its registration.
HRESULT RegisterTypeLibrary(const std::wstring& modulePath);
HRESULT UnregisterTypeLibrary(const std::wstring& modulePath);

}  // namespace comkit::registry
