// Outside programs (Python with PyKCS11, p11tool) run as an application
// would run them, with the sanitizer runtimes of a sanitizer build
// preloaded.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ui/subprocess.h"

namespace zorbix::testing {

// True in a sanitizer build, where outside programs run with the sanitizer
// runtimes preloaded. p11tool then hangs in its exit after a failed
// operation (p11-kit's destructor blocks in freelocale on a corrupted libc
// lock), with any module, p11-kit's own trust module included: such cases
// are checked in the normal build only.
inline bool OutsidePreloaded() {
  const char* preload = std::getenv("ZORBIX_OUTSIDE_PRELOAD");
  return preload && *preload;
}

// Runs args through env: leading NAME=value arguments set the environment.
// `input` is the program's standard input.
inline ProcessResult Outside(std::vector<std::string> args, const std::string& input = "") {
  if (const char* preload = std::getenv("ZORBIX_OUTSIDE_PRELOAD"); preload && *preload) {
    args.insert(args.begin(), "ASAN_OPTIONS=detect_leaks=0");
    args.insert(args.begin(), std::string("LD_PRELOAD=") + preload);
  }
  return RunProgram("/usr/bin/env", args, input);
}

}  // namespace zorbix::testing
