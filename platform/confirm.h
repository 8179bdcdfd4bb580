// A yes/no question put to the user without a toolkit of our own: through
// pinentry and its Assuan protocol, the way Linux desktops ask for such
// confirmations (pinentry-gnome3, pinentry-qt, pinentry-curses).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace zorbix::platform {

enum class ConfirmAnswer {
  Yes,
  No,
  // Nothing could be shown, or no answer came: no pinentry, no display or
  // terminal, a pinentry error, the time ran out.
  Unavailable,
};

struct ConfirmRequest {
  std::string title;
  std::string description;
  // The user's time to answer; pinentry is told, and ended when it overruns.
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
};

// Runs `program` (looked up on PATH when it has no slash), asks SETTITLE,
// SETDESC, CONFIRM and ends it. OK is Yes; a cancel or a "not confirmed" is
// No; everything else is Unavailable. Never raises, never lets a SIGPIPE or
// the child outlive the call.
ConfirmAnswer ConfirmWithPinentry(const ConfirmRequest& request,
                                  const char* program = "pinentry");

// Longest line an Assuan peer must accept, without the line feed.
inline constexpr std::size_t kAssuanLineLength = 1000;

// An Assuan command parameter: '%', CR, LF and the other control bytes
// become %XX. At most maxLength bytes come out; the cut never splits an
// escape or a UTF-8 character.
std::string AssuanEscape(std::string_view text, std::size_t maxLength);

}  // namespace zorbix::platform
