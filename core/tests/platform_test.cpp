#include "platform.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

TEST(Platform, UuidIsRandomVersion4InLowerCaseText) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = platform::NewUuid();
    ASSERT_EQ(36u, id.size()) << id;
    for (size_t k = 0; k < id.size(); ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        ASSERT_EQ('-', id[k]) << id;
      } else {
        ASSERT_TRUE((id[k] >= '0' && id[k] <= '9') || (id[k] >= 'a' && id[k] <= 'f')) << id;
      }
    }
    EXPECT_EQ('4', id[14]) << id;
    EXPECT_NE(std::string::npos, std::string("89ab").find(id[19])) << id;
    seen.insert(id);
  }
  EXPECT_EQ(200u, seen.size());
}

TEST(Platform, LibraryDirectoryIsTheDirectoryOfThisProgram) {
  const std::string dir = platform::LibraryDirectory();
  ASSERT_FALSE(dir.empty());
#ifdef _WIN32
  EXPECT_EQ('\\', dir.back());
#else
  EXPECT_EQ('/', dir.back());
#endif
  // The test executable holds this code, so the executable lies in that directory.
  std::string exe = ::testing::internal::GetArgvs()[0];
  exe = exe.substr(exe.find_last_of("/\\") + 1);
  if (!std::ifstream(dir + exe).good() && !std::ifstream(dir + exe + ".exe").good())
    ADD_FAILURE() << exe << " not found in " << dir;
#ifndef _WIN32
  // A program may name the directory itself; an empty text gives the module's back.
  platform::SetLibraryDirectory("/etc/somewhere");
  EXPECT_EQ("/etc/somewhere/", platform::LibraryDirectory());
  platform::SetLibraryDirectory("");
  EXPECT_EQ(dir, platform::LibraryDirectory());
#endif
}
