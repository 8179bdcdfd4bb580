// The card side of pcscd's vpcd driver: a loopback TCP client that answers
// the driver's power, reset, ATR and APDU requests from a Card.
//
// Wire format: each message is a 2-byte big-endian length and that many
// bytes. A 1-byte message is a control code (0 power off, 1 power on,
// 2 reset, 4 ATR request, answered with the ATR); anything longer is a
// command APDU, answered with the response APDU.
//
// A connected client is a card in the reader: closing the connection removes
// it. The link reconnects by itself while a card is attached and inserted,
// so it survives pcscd restarts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "sim/card.h"

namespace zorbix::sim {

inline constexpr int kVpcdBasePort = 35963;  // reader slot 0; slot 1 is +1

// The wire format on its own, apart from the socket, so that it can be fed
// bytes from anywhere.
//
// Reads exactly n bytes into buf; false when the stream ends or fails first.
using VpcdRead = std::function<bool(std::uint8_t* buf, std::size_t n)>;
// The next message of the driver (its length field read and dropped);
// nullopt when the stream ends or fails inside it.
std::optional<Bytes> ReadVpcdMessage(const VpcdRead& read);
// What the card sends back for one message, length field included; empty
// when the message wants no answer (power, reset, an unknown control code,
// an empty message).
Bytes AnswerVpcdMessage(Card& card, const Bytes& message);

class VpcdLink {
 public:
  explicit VpcdLink(int port, std::string host = "127.0.0.1");
  ~VpcdLink();
  VpcdLink(const VpcdLink&) = delete;
  VpcdLink& operator=(const VpcdLink&) = delete;

  // Plays `card` from now on (null: no card). The link follows the card's
  // Inserted() state; on return from Attach(nullptr) the previous card is no
  // longer used by the link thread.
  void Attach(Card* card);
  bool Connected() const { return connected_; }
  int port() const { return port_; }

 private:
  void Run();
  bool Serve(int fd);  // one message; false when the connection ended
  void Wake();

  const int port_;
  const std::string host_;
  std::mutex mu_;  // held while a message is answered; guards card_
  std::condition_variable cv_;
  Card* card_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<unsigned> generation_{0};  // bumped on Attach and presence changes
  std::thread thread_;
};

}  // namespace zorbix::sim
