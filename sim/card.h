// The virtual card engine: plays a Profile as an ISO 7816-4 card over T=0.
//
// Built-in commands: SELECT (by DF name, by file id, with 61xx + GET RESPONSE),
// READ/UPDATE BINARY (offset or short file identifier), VERIFY, CHANGE
// REFERENCE DATA, RESET RETRY COUNTER, GET CHALLENGE, card data (90 B8) and
// events (90 18). Everything else comes from handlers that profiles install.
//
// Extension hook for profile code (key commands, envelopes, secure channel):
//   - `RegisterCardExtension(installer)` at static initialisation (e.g. from a
//     namespace-scope `const bool registered = (RegisterCardExtension(&X), true);`
//     in a .cpp linked into zorbix_sim). Every Card constructor runs all
//     registered installers in registration order, after its built-ins; an
//     installer looks at `card.profile()` and adds handlers only for the
//     profiles it serves.
//   - `AddHandler(cla, ins, h)`: the handler answers that CLA/INS from then on.
//     A later handler for the same pair hides an earlier one (and the
//     built-in); it may call `card.Next(apdu)` to pass the command on to what
//     it hides (to extend rather than replace).
//   - `SetWrapper(w)`: one wrapper sees every command except GET RESPONSE
//     before dispatch (for secure messaging: unwrap, `inner(cmd)`, protect).
//
// The 61xx rule: a response marked `deferred` whose command carried no Le is
// announced as 61xx (xx = its length, 00 for 256 or more) and handed out by
// GET RESPONSE (00 C0 00 00 Le): fewer bytes than held leave 61xx for the
// rest; an Le above what is held answers 6Cxx (Le 00 takes up to 256).
// Built-in SELECT answers are
// deferred; handlers choose for their own answers.
//
// File control information (answer of SELECT):
//   EFs and DFs without a DF name:
//     6F 0A 85 08 D FH FL SH SL RA UA SFI
//     (D = 01 EF, 38 DF; RA/UA = read/update access 00 always, 11 PIN, FF
//     never). Response byte 2 is 85 and the size is at bytes 7-8.
//   DFs with a DF name:
//     84 L <name> 85 07 38 FH FL RA UA SH SL
//     so the size is at bytes L+9, L+10. DFs report size 0.
//   P2 0C: no answer data, 9000.
//
// PIN commands: VERIFY 00 20 00 00 [PIN] (no data: 63Cx tries left, 9000
// when verified, 6983 blocked; a wrong PIN counts down, the last one answers
// 63C0); CHANGE 90 24 00 00 (selector, old length, old, new length, new) or
// 00 24 (old ‖ new); RESET RETRY COUNTER 90 2C or 00 2C (16-byte PUK, then
// optionally new length and new PIN; 63Cx/6983 count the PUK's tries).
//
// READ BINARY: a read that crosses the end of the file answers the bytes up
// to the end with 9000 (a short chunk ends the caller's read); an offset at
// or past the end answers 6B00. UPDATE BINARY that would write past the end
// answers 6B00 and writes nothing.
//
// Short file identifiers: FileSpec::sfi 0 means "none", so a file reached
// with short identifier 0 stores kSfiZero. A short identifier is looked up in
// the current DF first, then anywhere on the card.
//
// The MF (DF name "Master.File" unless the profile names it) and the PIN file
// 0000 under it (which the PIN commands select first) exist on every card;
// DFs named only through their children's paths are created.
//
// Answers: one answer (data and status word) is at most kMaxAnswer bytes;
// a command asking for more is answered 6700.
//
// Command numbers: every APDU the card receives counts, GET RESPONSE and
// each envelope chunk (90 C2) included; the power, reset and ATR requests of
// the reader do not. Numbers start at 1 with the card and never restart
// (resets and removals keep counting). The faults and the trace use them.
//
// Trace (off until StartTrace): one line per event, fields separated by one
// space:
//   TIME N > HEX     command N as received
//   TIME N < HEX     its answer as sent (data, SW1 SW2; faults applied)
//   TIME N >> HEX    the plain command inside command N: a protected command
//                    unwrapped, or the command that an envelope completed
//   TIME N << HEX    the plain answer to that, before it was protected
//   TIME N ! WORD    a card event after N commands: power-on, power-off,
//                    reset, remove, insert
// TIME is UTC, 2025-01-31T12:00:00.123456Z; HEX is upper-case bytes
// separated by spaces, "**" for each masked byte. Masked: the data of
// VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER (INS 20, 24, 2C) and
// of the key component commands (90 50, 90 52) in plain form; the data of an
// envelope chunk whose carried command is one of those. Protected commands
// show their wire bytes (cryptograms) as they are and the plain command
// inside masked by the same rule. Header, length bytes and Le stay visible.
//
// Thread safety: every public member locks the card's (recursive) mutex, so
// test controls may be called while a link plays the card; handlers run with
// the lock held and may call any member.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/profile.h"

namespace zorbix::sim {

inline constexpr std::uint8_t kSfiZero = 0x20;

// A parsed short APDU. Case 1: no data, no Le. Case 2: Le only (le 0 on the
// wire means 256). Case 3: data. Case 4: data and Le.
struct Apdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;
  std::size_t le = 0;
  bool hasLe = false;
  Bytes raw;
};

// Parses a short APDU; nullopt when the length bytes do not fit the rest.
std::optional<Apdu> ParseApdu(const Bytes& raw);

struct Response {
  Bytes data;
  std::uint16_t sw = 0x9000;
  bool deferred = false;  // announce with 61xx unless the command carried Le
};

inline Response Sw(std::uint16_t sw) { return Response{{}, sw, false}; }

// A file of the card's file system.
struct CardFile {
  std::vector<std::uint16_t> path;  // from the MF down, MF excluded ({} = MF)
  bool isDf = false;
  Bytes dfName;
  Bytes data;  // EF contents, always exactly the allocated size
  std::uint8_t sfi = 0;
  Access read = Access::Always;
  Access update = Access::Pin;
  std::uint16_t fid() const { return path.empty() ? 0x3F00 : path.back(); }
};

// One exchange of the trace. `lines` are its trace lines (see TraceLine
// format in Card), secrets masked; `command` keeps the raw bytes for tests
// and is wiped when the trace drops the entry.
struct TraceEntry {
  std::size_t number = 0;  // command number: 1-based, every APDU since the card started
  Bytes command;           // raw command as received (secrets included)
  Bytes response;          // data and status word as answered
  std::string lines;       // the exchange's trace lines, secrets masked
};

// The longest answer (data and status word) one vpcd message carries: its
// length field has two bytes.
inline constexpr std::size_t kMaxAnswer = 0xFFFF;

// Exchanges a trace keeps unless told otherwise.
inline constexpr std::size_t kTraceKeep = 10000;

class Card;
using Handler = std::function<Response(Card&, const Apdu&)>;
using Wrapper =
    std::function<Response(Card&, const Apdu&, const std::function<Response(const Apdu&)>& inner)>;
using Installer = void (*)(Card&);

// Adds an installer run by every Card constructed afterwards.
void RegisterCardExtension(Installer installer);

class Card {
 public:
  explicit Card(Profile profile);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // --- Power and ATR -------------------------------------------------------
  Bytes Atr() const;
  // The life-phase byte (0x03 user, 0x0F final): ATR byte n-3, and the
  // card data's byte at the profile's cardDataPhase. Seen by PC/SC from the
  // next insertion or power-up.
  void SetLifePhase(std::uint8_t phase);
  std::uint8_t LifePhase() const;
  void SetAtrStatus(std::uint16_t sw);     // ATR bytes n-2, n-1
  void PowerOn();
  void PowerOff();
  // Warm reset: ends the session (PIN state, selection, pending response,
  // scratch). Also done by PowerOn/PowerOff.
  void Reset();
  bool Powered() const;

  // One command: answers data followed by SW1 SW2. Applies the test
  // controls (delay, forced status, corruption, removal) and records the
  // trace.
  Bytes Process(const Bytes& command);

  // --- Extension API -------------------------------------------------------
  void AddHandler(std::uint8_t cla, std::uint8_t ins, Handler h);
  // From inside a handler: runs what that handler hides for this CLA/INS
  // (the earlier handler, else the built-in, else 6D00/6E00).
  Response Next(const Apdu& apdu);
  void SetWrapper(Wrapper w);
  // Dispatch without controls, trace or the 61xx rule (for wrappers that
  // process an unwrapped command, and for tests).
  Response Dispatch(const Apdu& apdu);
  // Dispatch through the wrapper, as if `apdu` had arrived on its own (for
  // handlers that carry a whole command, like the envelopes); no wrapper:
  // Dispatch.
  Response DispatchWrapped(const Apdu& apdu);
  // For the trace, from inside a handler or wrapper of the current command:
  // the plain command it carries (a ">>" line, masked like a command), the
  // plain answer to it (a "<<" line), and, for an envelope chunk, the
  // command collected so far (the chunk's data is masked when that command
  // is a secret one). No effect while tracing is off.
  void TraceInner(const Bytes& command);
  void TraceInnerAnswer(const Response& answer);
  void TraceCarried(const Bytes& carried);

  const Profile& profile() const { return profile_; }

  // Security state of this card session.
  bool PinVerified() const;
  void SetPinVerified(bool verified);
  int PinTriesLeft() const;
  int PukTriesLeft() const;
  std::string CurrentPin() const;  // the PIN as changed on the card

  // File system. Pointers stay valid for the card's lifetime (until deleted).
  CardFile* FindFile(const std::vector<std::uint16_t>& path);
  CardFile* FindByName(const Bytes& dfName);
  CardFile* FindChild(const CardFile& df, std::uint16_t fid);
  CardFile* FindBySfi(std::uint8_t sfi);  // in the current DF
  CardFile* CurrentDf();                  // never null while powered (MF at start)
  CardFile* CurrentEf();                  // null when no EF is selected
  void SelectFile(CardFile* file);        // sets the current DF or EF
  // Creates an EF of `size` zero bytes under the DF at `parent`; null when
  // the parent is missing or the fid exists there.
  CardFile* CreateEf(const std::vector<std::uint16_t>& parent, std::uint16_t fid,
                     std::size_t size, Access read, Access update);
  bool DeleteFile(const std::vector<std::uint16_t>& path);
  // Access-checked transparent read/write of an EF (6982 / 6B00).
  Response ReadFile(CardFile& ef, std::size_t offset, std::size_t length);
  Response WriteFile(CardFile& ef, std::size_t offset, const Bytes& bytes);
  static Bytes Fci(const CardFile& file);

  // Keys of the profile (mutable: key generation and storage change them).
  KeySpec* FindKey(std::uint8_t reference);
  KeySpec* FindKeyByFile(std::uint16_t fileId);
  std::vector<KeySpec>& keys();

  // Per-session state for handlers (MSE, loaded blocks, channel keys);
  // cleared on reset and power changes.
  std::map<std::string, Bytes>& scratch();
  // Drops one scratch slot, wiped first (slots hold codes and keys).
  void EraseScratch(const std::string& name);
  // Settings of this card for handlers (test controls of extensions); kept
  // across resets and power changes.
  std::map<std::string, Bytes>& settings();

  // --- Test controls -------------------------------------------------------
  // Presence as seen by the reader; the link (vpcd) listens to changes.
  // The listener is called with the card locked: it must not wait for
  // another thread that uses the card. Once replaced, it is not called.
  void Remove();
  void Insert();
  bool Inserted() const;
  void SetPresenceListener(std::function<void(bool inserted)> listener);

  void SetDelay(std::chrono::milliseconds perApdu);
  std::chrono::milliseconds Delay() const;
  // The n-th command from now (1 = the next) is answered with `sw` alone,
  // without being carried out.
  void FailAt(int n, std::uint16_t sw);  // n < 1: ignored
  // The n-th command from now gets its answer byte `index` XOR 0xFF; a
  // negative index counts from the end (-1 = SW2, -3 = the byte before SW1,
  // e.g. the last MAC byte of a protected answer). Out of range: clamped.
  void CorruptAt(int n, std::ptrdiff_t index = 0);
  // The card leaves the reader right after answering the n-th command from
  // now (1 = the next); with `reinsertAfter`, it comes back that long after
  // leaving. A later call replaces the plan; n < 1 cancels it.
  void RemoveAfter(int n, std::optional<std::chrono::milliseconds> reinsertAfter = std::nullopt);
  void BlockPin();                 // PIN tries to 0
  void SetPinTries(int left);
  void SetPukTries(int left);

  // Trace: clears and turns it on, keeping the last `keep` exchanges
  // (0: none, only the sink sees them); StopTrace turns it off and drops
  // (wipes) what was kept.
  void StartTrace(std::size_t keep = kTraceKeep);
  void StopTrace();
  bool Tracing() const;
  // Gets every trace line (without its newline) as it happens, while
  // tracing is on; also the card events, which Trace() does not keep.
  void SetTraceSink(std::function<void(const std::string& line)> sink);
  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  std::string TraceText() const;  // the kept exchanges' lines
  std::size_t CommandCount() const;  // commands processed since construction

 private:
  struct Fault {
    std::size_t at;  // command number (1-based since construction)
    bool corrupt;
    std::uint16_t sw;
    std::ptrdiff_t index;
  };
  struct Exchange {  // the command being traced
    std::size_t number = 0;
    bool maskData = false;
    std::string lines;
  };

  Response Builtin(const Apdu& apdu);
  Response RunFrom(const Apdu& apdu, std::size_t depth);
  Response DoSelect(const Apdu& apdu);
  Response DoReadBinary(const Apdu& apdu);
  Response DoUpdateBinary(const Apdu& apdu);
  Response DoVerify(const Apdu& apdu);
  Response DoChangePin(const Apdu& apdu);
  Response DoResetRetryCounter(const Apdu& apdu);
  Response DoGetChallenge(const Apdu& apdu);
  Response DoGetResponse(const Apdu& apdu);
  Response Answer(const Apdu& apdu, Response r);  // 61xx rule
  void ClearSession();
  void RecordExchange(std::chrono::system_clock::time_point received, const Bytes& command,
                      const Bytes& answer);
  void TraceEvent(const char* word);
  void DropTraceEntry(TraceEntry& e);
  void RunTimer();
  CardFile* ParentOf(const CardFile& f);
  CardFile* EfForBinary(const Apdu& apdu, std::size_t* offset, Response* error);

  mutable std::recursive_mutex mu_;
  Profile profile_;
  Bytes atr_;
  Bytes cardData_;
  bool powered_ = false;
  bool inserted_ = true;
  std::vector<std::unique_ptr<CardFile>> files_;
  std::vector<KeySpec> keys_;
  CardFile* currentDf_ = nullptr;
  CardFile* currentEf_ = nullptr;
  Bytes pending_;
  bool pinVerified_ = false;
  std::string pin_;
  int pinTries_ = 3;
  int pukTries_ = 10;
  std::map<std::string, Bytes> scratch_;
  std::map<std::string, Bytes> settings_;
  std::map<std::uint16_t, std::vector<Handler>> handlers_;
  std::vector<std::size_t> depth_;  // handler nesting for Next()
  Wrapper wrapper_;
  std::function<void(bool)> presenceListener_;
  std::chrono::milliseconds delay_{0};
  std::vector<Fault> faults_;
  std::size_t removeAt_ = 0;  // command number after which the card leaves; 0: none
  std::optional<std::chrono::milliseconds> reinsertAfter_;
  bool tracing_ = false;
  std::size_t traceKeep_ = 0;
  std::deque<TraceEntry> trace_;
  std::optional<Exchange> exchange_;
  std::function<void(const std::string&)> traceSink_;
  std::size_t commands_ = 0;
  std::uint32_t challengeCounter_ = 0;

  // Reinsertion timer (RemoveAfter with a delay); its own lock, never held
  // while taking mu_.
  std::mutex timerMu_;
  std::condition_variable timerCv_;
  std::optional<std::chrono::steady_clock::time_point> insertAt_;
  bool timerStop_ = false;
  std::thread timer_;
};

// The minimal card the bench falls back on and engine tests use: MF, ICC.Crypto
// (3F11), the PKCS#15 DF 5015 with ODF 5031 (certificates 6004, AODF 6000), a
// 300-byte EF 6004 (bytes 00 01 .. FF 00 .., short identifier 4), a private
// EF 7001; PIN "1234", PUK "1234567890123456", 18 bytes of card data.
Profile BasicProfile();

// Hex helpers shared by the programs and tests ("3B 8F" / "3b8f" parse alike).
std::string ToHex(const Bytes& b, bool spaced = false);
Bytes FromHex(const std::string& hex);

}  // namespace zorbix::sim
