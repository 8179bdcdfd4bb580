// Runs a program with text on its standard input and collects its output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace zorbix::testing {

struct ProcessResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string out, err;
};

// A program still running after this long is stuck: it is killed (with
// its process group) and reported, so that a hang shows its output instead
// of running into the test's own timeout.
constexpr int kProgramDeadlineSeconds = 120;

// Runs `program` with `args` in `cwd`, with `input` (a descriptor, closed
// here) as its standard input. Both outputs are drained together, so a
// program that writes much to either never blocks on a full pipe.
inline ProcessResult RunProgramOn(const std::string& program, const std::vector<std::string>& args,
                                  int input, const std::string& cwd) {
  int out[2], err[2];
  if (input < 0 || pipe(out) || pipe(err)) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
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
  std::string* sinks[2] = {&r.out, &r.err};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kProgramDeadlineSeconds);
  bool killed = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    const int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (killed) {
    r.status = -1;
    r.err += "\n[" + program + " killed: still running after " + std::to_string(kProgramDeadlineSeconds) +
             " s]\n";
  }
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
