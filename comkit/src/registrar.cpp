#include "comkit/registrar.h"

#include <oleauto.h>

#include <cwctype>

#include "comkit/resources.h"
#include "base/text.h"

namespace comkit::registry {
namespace {

struct Token {
  std::wstring text;
  bool quoted = false;
  int line = 0;
};

[[noreturn]] void Fail(int line, const std::string& what) {
  throw ScriptError("registry script, line " + std::to_string(line) + ": " + what);
}

std::string Narrow(const std::wstring& w) { return base::ToNarrow(w); }

bool SameWord(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return i == a.size() && !b[i];
}

// %NAME% replaced, %% a single %.
std::wstring Substitute(const std::wstring& in, const Replacements& replacements, int line) {
  std::wstring out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != L'%') {
      out += in[i];
      continue;
    }
    const size_t end = in.find(L'%', i + 1);
    if (end == std::wstring::npos) Fail(line, "unterminated %variable%");
    const std::wstring name = in.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out += L'%';
    } else {
      const auto it = replacements.find(name);
      if (it == replacements.end()) Fail(line, "no replacement for %" + Narrow(name) + "%");
      out += it->second;
    }
    i = end;
  }
  return out;
}

std::vector<Token> Tokenize(const std::wstring& text, const Replacements& replacements) {
  std::vector<Token> tokens;
  int line = 1;
  size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (c == L'\n') {
      ++line;
      ++i;
      continue;
    }
    if (std::iswspace(c) || c == 0xFEFF) {
      ++i;
      continue;
    }
    Token t;
    t.line = line;
    if (c == L'\'') {
      t.quoted = true;
      ++i;
      for (;;) {
        if (i >= text.size()) Fail(t.line, "unterminated quoted text");
        if (text[i] == L'\'') {
          if (i + 1 < text.size() && text[i + 1] == L'\'') {
            t.text += L'\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (text[i] == L'\n') ++line;
        t.text += text[i++];
      }
    } else {
      while (i < text.size() && !std::iswspace(text[i]) && text[i] != L'\'') t.text += text[i++];
    }
    // Replacements apply to the token's text only, so that a replacement holding a
    // quote or white space (a module path, say) cannot change the script's structure.
    t.text = Substitute(t.text, replacements, t.line);
    tokens.push_back(std::move(t));
  }
  return tokens;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::vector<RootBlock> Script() {
    std::vector<RootBlock> blocks;
    while (!AtEnd()) {
      const Token& root = Next("a root key");
      if (root.quoted || !PredefinedRoot(root.text)) Fail(root.line, "unknown root key '" + Narrow(root.text) + "'");
      RootBlock block;
      block.root = root.text;
      Expect(L"{");
      while (!IsSymbol(L"}")) block.keys.push_back(ParseKey());
      Expect(L"}");
      blocks.push_back(std::move(block));
    }
    return blocks;
  }

 private:
  bool AtEnd() const { return pos_ >= tokens_.size(); }
  int Line() const { return AtEnd() ? (tokens_.empty() ? 1 : tokens_.back().line) : tokens_[pos_].line; }

  const Token& Next(const char* what) {
    if (AtEnd()) Fail(Line(), std::string("unexpected end, expected ") + what);
    return tokens_[pos_++];
  }
  bool IsSymbol(const wchar_t* s) const {
    if (AtEnd()) Fail(Line(), "unexpected end of script");
    return !tokens_[pos_].quoted && tokens_[pos_].text == s;
  }
  bool IsWord(const wchar_t* w) const {
    return !AtEnd() && !tokens_[pos_].quoted && SameWord(tokens_[pos_].text, w);
  }
  void Expect(const wchar_t* s) {
    const Token& t = Next("a symbol");
    if (t.quoted || t.text != s) Fail(t.line, "expected '" + Narrow(s) + "', found '" + Narrow(t.text) + "'");
  }
  static bool IsStructural(const Token& t) {
    return !t.quoted && (t.text == L"{" || t.text == L"}" || t.text == L"=");
  }

  Key ParseKey() {
    Key key;
    for (;;) {
      if (IsWord(L"NoRemove")) {
        key.noRemove = true;
      } else if (IsWord(L"ForceRemove")) {
        key.forceRemove = true;
      } else {
        break;
      }
      ++pos_;
    }
    if (key.noRemove && key.forceRemove) Fail(Line(), "a key cannot be both NoRemove and ForceRemove");
    const Token& name = Next("a key name");
    if (IsStructural(name) || name.text.empty()) Fail(name.line, "expected a key name, found '" + Narrow(name.text) + "'");
    if (!name.quoted && SameWord(name.text, L"val")) Fail(name.line, "a named value needs a key");
    if (name.text.find(L'\\') != std::wstring::npos) Fail(name.line, "a key name cannot hold '\\'");
    key.name = name.text;
    if (!AtEnd() && IsSymbol(L"=")) {
      ++pos_;
      key.defaultValue = ParseValue(std::wstring());
    }
    if (!AtEnd() && IsSymbol(L"{")) {
      ++pos_;
      while (!IsSymbol(L"}")) {
        if (IsWord(L"val")) {
          ++pos_;
          const Token& valueName = Next("a value name");
          if (IsStructural(valueName)) Fail(valueName.line, "expected a value name");
          Expect(L"=");
          key.values.push_back(ParseValue(valueName.text));
        } else {
          key.subkeys.push_back(ParseKey());
        }
      }
      ++pos_;
    }
    return key;
  }

  Value ParseValue(const std::wstring& name) {
    Value v;
    v.name = name;
    const Token& type = Next("a value type");
    const Token& data = Next("a value");
    if (IsStructural(data)) Fail(data.line, "expected a value, found '" + Narrow(data.text) + "'");
    if (!type.quoted && SameWord(type.text, L"s")) {
      v.type = REG_SZ;
      v.text = data.text;
    } else if (!type.quoted && SameWord(type.text, L"d")) {
      v.type = REG_DWORD;
      v.number = ParseNumber(data);
    } else {
      Fail(type.line, "unsupported value type '" + Narrow(type.text) + "'");
    }
    return v;
  }

  static DWORD ParseNumber(const Token& t) {
    const std::wstring& s = t.text;
    const bool hex = s.size() > 2 && s[0] == L'0' && (s[1] == L'x' || s[1] == L'X');
    const size_t start = hex ? 2 : 0;
    if (s.size() <= start) Fail(t.line, "empty number");
    unsigned long long n = 0;
    for (size_t i = start; i < s.size(); ++i) {
      const wchar_t c = s[i];
      unsigned digit;
      if (c >= L'0' && c <= L'9') {
        digit = static_cast<unsigned>(c - L'0');
      } else if (hex && c >= L'a' && c <= L'f') {
        digit = static_cast<unsigned>(c - L'a' + 10);
      } else if (hex && c >= L'A' && c <= L'F') {
        digit = static_cast<unsigned>(c - L'A' + 10);
      } else {
        Fail(t.line, "bad number '" + Narrow(s) + "'");
      }
      n = n * (hex ? 16 : 10) + digit;
      if (n > 0xFFFFFFFFull) Fail(t.line, "number out of range '" + Narrow(s) + "'");
    }
    return static_cast<DWORD>(n);
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

HRESULT FromWin32(LONG err) { return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(err)); }

LONG SetValue(HKEY key, const Value& v) {
  const wchar_t* name = v.name.empty() ? nullptr : v.name.c_str();
  if (v.type == REG_DWORD)
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number), sizeof(DWORD));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                        static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t)));
}

LONG DeleteTree(HKEY parent, const std::wstring& name) {
  const LONG err = RegDeleteTreeW(parent, name.c_str());
  return err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err;
}

HRESULT RegisterKey(HKEY parent, const Key& k) {
  if (k.forceRemove) {
    if (const LONG err = DeleteTree(parent, k.name)) return FromWin32(err);
  }
  unique_hkey key;
  LONG err = RegCreateKeyExW(parent, k.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
  if (err) return FromWin32(err);
  if (k.defaultValue && (err = SetValue(key.get(), *k.defaultValue))) return FromWin32(err);
  for (const auto& v : k.values) {
    if ((err = SetValue(key.get(), v))) return FromWin32(err);
  }
  for (const auto& sub : k.subkeys) {
    const HRESULT hr = RegisterKey(key.get(), sub);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterKey(HKEY parent, const Key& k) {
  if (k.forceRemove) return FromWin32(DeleteTree(parent, k.name));
  unique_hkey key;
  LONG err = RegOpenKeyExW(parent, k.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
  if (err == ERROR_FILE_NOT_FOUND) return S_OK;
  if (err) return FromWin32(err);
  HRESULT first = S_OK;
  for (const auto& sub : k.subkeys) {
    const HRESULT hr = UnregisterKey(key.get(), sub);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  if (k.noRemove) return first;
  for (const auto& v : k.values) {
    err = RegDeleteValueW(key.get(), v.name.empty() ? nullptr : v.name.c_str());
    if (err && err != ERROR_FILE_NOT_FOUND && SUCCEEDED(first)) first = FromWin32(err);
  }
  DWORD subkeys = 0;
  err = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
  key.reset();
  if (err) return SUCCEEDED(first) ? FromWin32(err) : first;
  if (subkeys == 0) {
    err = RegDeleteKeyW(parent, k.name.c_str());
    if (err && err != ERROR_FILE_NOT_FOUND && SUCCEEDED(first)) first = FromWin32(err);
  }
  return first;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

}  // namespace

std::vector<RootBlock> ParseScript(const std::wstring& text, const Replacements& replacements) {
  return Parser(Tokenize(text, replacements)).Script();
}

HKEY PredefinedRoot(const std::wstring& root) {
  if (SameWord(root, L"HKCR") || SameWord(root, L"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
  if (SameWord(root, L"HKCU") || SameWord(root, L"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
  if (SameWord(root, L"HKLM") || SameWord(root, L"HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
  if (SameWord(root, L"HKU") || SameWord(root, L"HKEY_USERS")) return HKEY_USERS;
  return nullptr;
}

HRESULT Apply(const std::vector<RootBlock>& script, bool registering, RootResolver resolve) {
  HRESULT first = S_OK;
  for (const auto& block : script) {
    const HKEY root = resolve(block.root);
    if (!root) return E_INVALIDARG;
    for (const auto& key : block.keys) {
      const HRESULT hr = registering ? RegisterKey(root, key) : UnregisterKey(root, key);
      if (FAILED(hr)) {
        if (registering) return hr;
        if (SUCCEEDED(first)) first = hr;
      }
    }
  }
  return first;
}

HRESULT RunScript(const std::wstring& text, const Replacements& replacements, bool registering, RootResolver resolve) {
  try {
    return Apply(ParseScript(text, replacements), registering, resolve);
  } catch (const ScriptError&) {
    return DISP_E_EXCEPTION;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RunScriptResource(HMODULE module, UINT id, const Replacements& replacements, bool registering) {
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (!res) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, res);
  const DWORD size = SizeofResource(module, res);
  const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (!data) return HRESULT_FROM_WIN32(GetLastError());
  try {
    return RunScript(base::ToWide(std::string(data, size)), replacements, registering);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RegisterTypeLibrary(const std::wstring& modulePath) {
  com_ptr<ITypeLib> tl;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, tl.put());
  if (FAILED(hr)) return hr;
  std::wstring path = modulePath;
  std::wstring helpDir = DirectoryOf(modulePath);
  return RegisterTypeLib(tl.get(), path.data(), helpDir.empty() ? nullptr : helpDir.data());
}

HRESULT UnregisterTypeLibrary(const std::wstring& modulePath) {
  com_ptr<ITypeLib> tl;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, tl.put());
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = tl->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR a = *attr;
  tl->ReleaseTLibAttr(attr);
  unique_bstr registeredPath;
  if (FAILED(QueryPathOfRegTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, registeredPath.put())))
    return S_OK;  // not registered: nothing to remove
  return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
}

}  // namespace comkit::registry
