// Test main: named mutexes live in a private folder so that these tests never
// contend with another program's module on the machine-wide names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/named_mutex.h"

int main(int argc, char** argv) {
  char pattern[] = "/tmp/zorbix-p11-test-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) return 2;
  zorbix::platform::SetNamedObjectDirectory(dir);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}
