// The vpcd link against a stand-in driver on loopback: framing, control
// codes, removal and insertion, reconnection after the driver restarts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/vpcd.h"

namespace zorbix::sim {
namespace {

// The driver side: listens, accepts the card, sends requests.
class FakeDriver {
 public:
  explicit FakeDriver(int port = 0) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(listen_, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~FakeDriver() {
    if (conn_ >= 0) ::close(conn_);
    ::close(listen_);
  }
  int port() const { return port_; }

  bool Accept(int timeoutMs = 5000) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    conn_ = ::accept(listen_, nullptr, nullptr);
    return conn_ >= 0;
  }
  void Send(const Bytes& msg) {
    Bytes out = {static_cast<std::uint8_t>(msg.size() >> 8), static_cast<std::uint8_t>(msg.size())};
    out.insert(out.end(), msg.begin(), msg.end());
    ASSERT_EQ(::send(conn_, out.data(), out.size(), MSG_NOSIGNAL), static_cast<ssize_t>(out.size()));
  }
  // One framed answer; empty when the card side closed or stayed silent.
  Bytes Receive(int timeoutMs = 3000) {
    std::uint8_t head[2];
    if (!ReadN(head, 2, timeoutMs)) return {};
    Bytes body(static_cast<std::size_t>(head[0] << 8 | head[1]));
    if (!body.empty() && !ReadN(body.data(), body.size(), timeoutMs)) return {};
    return body;
  }
  Bytes Ask(const Bytes& msg) {
    Send(msg);
    return Receive();
  }
  // True when the card side closes the connection within the time.
  bool SeesClose(int timeoutMs = 3000) {
    pollfd p{conn_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    std::uint8_t b;
    const bool closed = ::recv(conn_, &b, 1, 0) == 0;
    if (closed) {
      ::close(conn_);
      conn_ = -1;
    }
    return closed;
  }
  void Drop() {
    ::close(conn_);
    conn_ = -1;
  }

 private:
  bool ReadN(std::uint8_t* buf, std::size_t n, int timeoutMs) {
    std::size_t got = 0;
    while (got < n) {
      pollfd p{conn_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) != 1) return false;
      const ssize_t r = ::recv(conn_, buf + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  int listen_ = -1;
  int conn_ = -1;
  int port_ = 0;
};

TEST(VpcdLink, AnswersControlCodesAndApdus) {
  FakeDriver driver;
  Card card(BasicProfile());
  VpcdLink link(driver.port());
  link.Attach(&card);
  ASSERT_TRUE(driver.Accept());

  driver.Send({0x01});  // power on: no answer
  EXPECT_EQ(driver.Ask({0x04}), BasicProfile().atr);
  EXPECT_TRUE(card.Powered());
  EXPECT_EQ(driver.Ask({0x90, 0xB8, 0x00, 0x00, 0x02}), (Bytes{0x01, 0x02, 0x90, 0x00}));
  EXPECT_EQ(driver.Ask({0x00, 0x20, 0x00, 0x00, 0x04, '1', '2', '3', '4'}), (Bytes{0x90, 0x00}));
  EXPECT_TRUE(card.PinVerified());
  driver.Send({0x02});  // reset
  EXPECT_EQ(driver.Ask({0x04}), BasicProfile().atr);
  EXPECT_FALSE(card.PinVerified());
  driver.Send({0x00});  // power off
  EXPECT_EQ(driver.Ask({0x04}), BasicProfile().atr);
  EXPECT_FALSE(card.Powered());
  EXPECT_TRUE(link.Connected());
}

TEST(VpcdLink, RemovalClosesAndInsertionReconnects) {
  FakeDriver driver;
  Card card(BasicProfile());
  VpcdLink link(driver.port());
  link.Attach(&card);
  ASSERT_TRUE(driver.Accept());
  card.Remove();
  EXPECT_TRUE(driver.SeesClose());
  EXPECT_FALSE(driver.Accept(500));  // no card, no connection
  card.Insert();
  ASSERT_TRUE(driver.Accept());
  EXPECT_EQ(driver.Ask({0x04}), BasicProfile().atr);

  link.Attach(nullptr);
  EXPECT_TRUE(driver.SeesClose());
}

TEST(VpcdLink, ReconnectsWhenTheDriverComesBack) {
  int port = 0;
  Card card(BasicProfile());
  std::unique_ptr<VpcdLink> link;
  {
    FakeDriver first;
    port = first.port();
    link = std::make_unique<VpcdLink>(port);
    link->Attach(&card);
    ASSERT_TRUE(first.Accept());
    EXPECT_EQ(first.Ask({0x04}), BasicProfile().atr);
  }  // the daemon goes away
  FakeDriver second(port);
  ASSERT_TRUE(second.Accept());
  EXPECT_EQ(second.Ask({0x90, 0xB8, 0x00, 0x00, 0x01}), (Bytes{0x01, 0x90, 0x00}));
}

}  // namespace
}  // namespace zorbix::sim
