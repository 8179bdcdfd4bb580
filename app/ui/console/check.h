// zorbix-check, the console front-end: options, secrets from the terminal or
// standard input, the reader listing, and the run driven through ConsoleUi.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/ui/console/console_ui.h"
#include "platform/secret.h"

namespace zorbix::app::ui {

struct CheckOptions {
  bool help = false;
  bool list = false;
  bool unblock = false;
  bool noPin = false;  // run without a PIN, asked for explicitly
  int reader = 1;      // 1-based position in the reader list
};

inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

extern const char kCheckUsage[];

// Fills `options` from the arguments after the program name; returns the
// reason when they are not a valid command line.
std::optional<std::string> ParseCheckOptions(const std::vector<std::string>& args,
                                             CheckOptions* options);

enum class SecretRead { Ok, TooLong, Failed };

// Reads one line from `fd` into `out` (an empty line at end of input). On a
// terminal, `prompt` goes to standard error and the typing is not echoed.
// Lines longer than the fields' 16 characters are refused, never cut: a cut
// PIN would cost the card a retry.
SecretRead ReadSecretLine(int fd, const char* prompt, SecretString* out);

// Reads the PIN (unless `noPin`), and with `unblock` the PUK and the new
// PIN, from standard input. Returns 0, or the exit status after telling
// `err` why not.
int ReadCheckSecrets(bool unblock, bool noPin, Fields* fields, std::ostream& err);

// The test page's field rules for the fields the run will type: the reason
// the wizard would keep Next disabled, naming the rule, or nothing when the
// run may go. An empty PIN passes only with `options.noPin`.
std::optional<std::string> CheckFieldRules(const CheckOptions& options, const Fields& fields);

// Before any secret is asked for: the PC/SC service answers and the chosen
// reader exists. Returns 0, or the exit status after telling `err` why not.
int CheckReaderChoice(const CheckOptions& options, std::ostream& err);

// Prints "N: name" for every reader. Returns the exit status.
int ListReaders(std::ostream& out, std::ostream& err);

// Runs the wizard's flow on `ui` (whose events are the wizard): welcome page,
// Next, the test page's activation, the chosen reader, the fields, Next.
// Fields that break the field rules stop it before anything runs.
// Prints the page reached and the result text. Returns the exit status.
int RunCheck(ConsoleUi& ui, const CheckOptions& options, const Fields& fields, std::ostream& out,
             std::ostream& err);

}  // namespace zorbix::app::ui
