// vpcd card-side link: connect, answer, reconnect.
#include "sim/vpcd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace zorbix::sim {
namespace {

constexpr int kPollMs = 50;
constexpr int kMessageTimeoutMs = 5000;

// The driver writes a message's length and its bytes in two writes, and
// Nagle holds the second until the first is acknowledged: a delayed ACK
// here would cost some 40 ms per exchange. The kernel clears QUICKACK by
// itself, so it is set again before every read.
void AckAtOnce(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Reads exactly n bytes; false on end of stream, error or timeout.
bool ReadFully(int fd, std::uint8_t* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kMessageTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    AckAtOnce(fd);
    const ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteFully(int fd, const std::uint8_t* buf, std::size_t n) {
  std::size_t sent = 0;
  while (sent < n) {
    const ssize_t r = ::send(fd, buf + sent, n - sent, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    sent += static_cast<std::size_t>(r);
  }
  return true;
}

int ConnectTo(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  AckAtOnce(fd);
  return fd;
}

}  // namespace

VpcdLink::VpcdLink(int port, std::string host) : port_(port), host_(std::move(host)) {
  thread_ = std::thread([this] { Run(); });
}

VpcdLink::~VpcdLink() {
  Attach(nullptr);
  stop_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
}

void VpcdLink::Attach(Card* card) {
  std::lock_guard lock(mu_);
  if (card_ == card) return;
  if (card_) card_->SetPresenceListener(nullptr);
  card_ = card;
  if (card_) card_->SetPresenceListener([this](bool) { Wake(); });
  ++generation_;
  cv_.notify_all();
}

void VpcdLink::Wake() {
  ++generation_;
  cv_.notify_all();
}

void VpcdLink::Run() {
  while (!stop_) {
    Card* card = nullptr;
    {
      std::unique_lock lock(mu_);
      card = card_;
      if (!card || !card->Inserted()) {
        const unsigned seen = generation_;
        cv_.wait_for(lock, std::chrono::milliseconds(200),
                     [&] { return stop_ || generation_ != seen; });
        continue;
      }
    }
    const int fd = ConnectTo(host_, port_);
    if (fd < 0) {  // driver not listening yet (pcscd starting or restarting)
      std::unique_lock lock(mu_);
      const unsigned seen = generation_;
      cv_.wait_for(lock, std::chrono::milliseconds(100),
                   [&] { return stop_ || generation_ != seen; });
      continue;
    }
    connected_ = true;
    while (!stop_) {
      {
        std::lock_guard lock(mu_);
        if (card_ != card || !card->Inserted()) break;
      }
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, kPollMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) break;
      if (ready == 0) continue;
      if (!Serve(fd)) break;
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    connected_ = false;
  }
}

std::optional<Bytes> ReadVpcdMessage(const VpcdRead& read) {
  std::uint8_t head[2];
  if (!read(head, 2)) return std::nullopt;
  const std::size_t len = static_cast<std::size_t>(head[0]) << 8 | head[1];
  Bytes msg(len);
  if (len && !read(msg.data(), len)) return std::nullopt;
  return msg;
}

Bytes AnswerVpcdMessage(Card& card, const Bytes& message) {
  Bytes answer;
  if (message.size() == 1) {
    switch (message[0]) {
      case 0: card.PowerOff(); return {};
      case 1: card.PowerOn(); return {};
      case 2: card.Reset(); return {};
      case 4: answer = card.Atr(); break;
      default: return {};
    }
  } else if (message.size() > 1) {
    answer = card.Process(message);
  } else {
    return {};
  }
  if (answer.size() > kMaxAnswer) answer = {0x6F, 0x00};  // the length field would wrap
  Bytes out = {static_cast<std::uint8_t>(answer.size() >> 8),
               static_cast<std::uint8_t>(answer.size())};
  out.insert(out.end(), answer.begin(), answer.end());
  return out;
}

bool VpcdLink::Serve(int fd) {
  const std::optional<Bytes> msg =
      ReadVpcdMessage([fd](std::uint8_t* buf, std::size_t n) { return ReadFully(fd, buf, n); });
  if (!msg) return false;
  Bytes out;
  {
    std::lock_guard lock(mu_);
    if (!card_ || !card_->Inserted()) return false;
    out = AnswerVpcdMessage(*card_, *msg);
  }
  if (out.empty()) return true;
  return WriteFully(fd, out.data(), out.size());
}

}  // namespace zorbix::sim
