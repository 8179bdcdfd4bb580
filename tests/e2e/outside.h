// Outside programs (Python with PyKCS11, p11tool) run as an application
// would run them, with the sanitizer runtimes of a sanitizer build
// preloaded.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ui/subprocess.h"

namespace zorbix::testing {

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
