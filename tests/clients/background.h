// A server for one test (sshd, openssl s_server): started in the background
// in a process group of its own, its output collected in a file, and
// stopped with its group when the object goes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace zorbix::testing {

class Background {
 public:
  // Runs args through /usr/bin/env (leading NAME=value set the
  // environment); standard input is /dev/null.
  Background(const std::vector<std::string>& args, std::string logPath) : log_(std::move(logPath)) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      const int in = open("/dev/null", O_RDONLY);
      const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || out < 0) _exit(127);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      std::vector<char*> argv{const_cast<char*>("/usr/bin/env")};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv("/usr/bin/env", argv.data());
      _exit(127);
    }
  }
  ~Background() { Stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits up to `seconds` for the program to end by itself; false when it
  // still runs.
  bool Wait(int seconds) {
    for (int i = 0; i < seconds * 10 && pid_ > 0; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      else std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pid_ <= 0;
  }
  // Waits up to `seconds` for `text` in the output (a server's "ready").
  bool WaitOutput(const std::string& text, int seconds = 10) const {
    for (int i = 0; i < seconds * 20; ++i) {
      if (Output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (!Wait(3)) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  std::string Output() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// A TCP port on 127.0.0.1 that nothing listens on just now.
inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (s >= 0) close(s);
  return port;
}

// Waits until something accepts connections on 127.0.0.1:port.
inline bool Listening(int port, int seconds = 10) {
  for (int i = 0; i < seconds * 20; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace zorbix::testing
