#include <gtest/gtest.h>

#include "base/text.h"

#ifdef _WIN32
#include "base/module.h"
#endif

TEST(Text, AnsiConversionRoundTrips) {
  const std::string narrow = "Host \"a\\b\" 42";
  EXPECT_EQ(narrow, base::ToNarrow(base::ToWide(narrow)));
  EXPECT_EQ(L"abc", base::ToWide("abc"));
  EXPECT_EQ("", base::ToNarrow(L""));
  EXPECT_EQ(L"", base::ToWide(""));
}

#ifdef _WIN32
TEST(Module, TheModuleOfAnAddressAndItsFileName) {
  // This code lies in the program itself.
  const HMODULE self = base::ModuleOf(reinterpret_cast<const void*>(&base::ModuleOf));
  EXPECT_EQ(self, GetModuleHandleW(nullptr));
  const std::wstring path = base::ModuleFileName(self);
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), L".exe");
  EXPECT_EQ(path, base::ModuleFileName(nullptr));
  EXPECT_EQ(base::ThisModule(), self);
  EXPECT_EQ(base::ModuleDirectory(self), path.substr(0, path.find_last_of(L'\\') + 1));
  int local = 0;
  EXPECT_EQ(base::ModuleOf(&local), nullptr);  // the stack belongs to no module
}
#endif
