// Runs a program with text on its standard input and collects its output.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zorbix::testing {

struct ProcessResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string out, err;
};

inline std::string ReadAll(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

// Runs `program` with `args` in `cwd`, with `input` (a descriptor, closed
// here) as its standard input.
inline ProcessResult RunProgramOn(const std::string& program, const std::vector<std::string>& args,
                                  int input, const std::string& cwd) {
  int out[2], err[2];
  if (input < 0 || pipe(out) || pipe(err)) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {input, out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(input);
  close(out[1]);
  close(err[1]);
  ProcessResult r;
  // Read stderr after stdout: both stay small for these programs.
  r.out = ReadAll(out[0]);
  r.err = ReadAll(err[0]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Standard input is a pipe holding `input`, so the program sees no terminal.
inline ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& input, const std::string& cwd = ".") {
  int in[2];
  if (pipe(in)) return {};
  // Small inputs fit the pipe buffer: written whole before the program runs.
  ssize_t ignored = write(in[1], input.data(), input.size());
  (void)ignored;
  close(in[1]);
  return RunProgramOn(program, args, in[0], cwd);
}

// Standard input read from the file `inputPath` (a device such as /dev/zero
// included).
inline ProcessResult RunProgramFromFile(const std::string& program, const std::vector<std::string>& args,
                                        const std::string& inputPath, const std::string& cwd = ".") {
  return RunProgramOn(program, args, open(inputPath.c_str(), O_RDONLY | O_CLOEXEC), cwd);
}

}  // namespace zorbix::testing
