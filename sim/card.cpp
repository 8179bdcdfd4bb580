// The virtual card engine: file system, PIN state, built-in ISO commands,
// handler dispatch and the test controls.
#include "sim/card.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>

#include "platform/secret.h"

namespace zorbix::sim {
namespace {

constexpr std::uint16_t Key(std::uint8_t cla, std::uint8_t ins) {
  return static_cast<std::uint16_t>(cla << 8 | ins);
}

std::vector<Installer>& Installers() {
  static std::vector<Installer> list;
  return list;
}

std::uint8_t AccessByte(Access a) {
  switch (a) {
    case Access::Always: return 0x00;
    case Access::Pin: return 0x11;
    case Access::Never: return 0xFF;
  }
  return 0xFF;
}

bool Allowed(Access a, bool pinVerified) {
  return a == Access::Always || (a == Access::Pin && pinVerified);
}

bool IsProtectedClass(std::uint8_t cla) { return (cla & 0x0C) == 0x0C; }

bool IsEnvelope(const Bytes& cmd) { return cmd.size() >= 2 && cmd[0] == 0x90 && cmd[1] == 0xC2; }

// Commands whose data is secret in plain form: PIN and PUK (VERIFY, CHANGE
// REFERENCE DATA, RESET RETRY COUNTER) and key components.
bool HasSecretData(const Bytes& cmd) {
  if (cmd.size() < 2 || IsProtectedClass(cmd[0])) return false;
  const std::uint8_t ins = cmd[1];
  if (ins == 0x20 || ins == 0x24 || ins == 0x2C) return true;
  return cmd[0] == 0x90 && (ins == 0x50 || ins == 0x52);
}

// Hex of a command with its data bytes shown as "**" when `maskData`; the
// header, length bytes and Le stay. Unparsable: all after the header masked.
std::string CommandHex(const Bytes& cmd, bool maskData) {
  if (!maskData || cmd.size() <= 4) return ToHex(cmd, true);
  std::size_t from = cmd.size(), to = cmd.size();  // the data bytes
  if (auto apdu = ParseApdu(cmd); apdu && !apdu->data.empty()) {
    from = cmd[4] != 0 ? 5 : 7;
    to = from + apdu->data.size();
  } else if (!apdu) {
    from = 4;
  }
  std::string s = ToHex(cmd, true);
  for (std::size_t i = from; i < to; ++i) s[3 * i] = s[3 * i + 1] = '*';
  return s;
}

// UTC with microseconds: 2025-01-31T12:00:00.123456Z.
std::string Stamp(std::chrono::system_clock::time_point t) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(us / 1000000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<long long>(us % 1000000));
  return buf;
}

std::string Line(std::chrono::system_clock::time_point t, std::size_t number, const char* dir,
                 const std::string& rest) {
  std::string line = Stamp(t) + " " + std::to_string(number) + " " + dir;
  if (!rest.empty()) line += " " + rest;
  return line;
}

const Bytes kMasterFileName = {'M', 'a', 's', 't', 'e', 'r', '.', 'F', 'i', 'l', 'e'};

// Le, or 256 (all a short answer holds) when the command has none.
std::size_t Expected(const Apdu& apdu) { return apdu.hasLe ? apdu.le : 256; }

// The leading bytes of a fixed answer, as many as the command expects.
Response Leading(const Bytes& data, const Apdu& apdu) {
  Response r;
  r.data.assign(data.begin(),
                data.begin() + static_cast<std::ptrdiff_t>(std::min(Expected(apdu), data.size())));
  return r;
}

}  // namespace

void RegisterCardExtension(Installer installer) {
  if (installer) Installers().push_back(installer);
}

std::optional<Apdu> ParseApdu(const Bytes& raw) {
  if (raw.size() < 4) return std::nullopt;
  Apdu a;
  a.cla = raw[0];
  a.ins = raw[1];
  a.p1 = raw[2];
  a.p2 = raw[3];
  a.raw = raw;
  const std::size_t n = raw.size();
  if (n == 4) return a;
  if (n == 5) {
    a.hasLe = true;
    a.le = raw[4] ? raw[4] : 256;
    return a;
  }
  if (raw[4] != 0) {
    const std::size_t lc = raw[4];
    if (n != 5 + lc && n != 6 + lc) return std::nullopt;
    a.data.assign(raw.begin() + 5, raw.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (n == 6 + lc) {
      a.hasLe = true;
      a.le = raw[n - 1] ? raw[n - 1] : 256;
    }
    return a;
  }
  // Extended length: 00 then two length bytes.
  if (n < 7) return std::nullopt;
  const std::size_t first = static_cast<std::size_t>(raw[5]) << 8 | raw[6];
  if (n == 7) {
    a.hasLe = true;
    a.le = first ? first : 65536;
    return a;
  }
  const std::size_t lc = first;
  if (lc == 0 || (n != 7 + lc && n != 9 + lc)) return std::nullopt;
  a.data.assign(raw.begin() + 7, raw.begin() + 7 + static_cast<std::ptrdiff_t>(lc));
  if (n == 9 + lc) {
    const std::size_t le = static_cast<std::size_t>(raw[n - 2]) << 8 | raw[n - 1];
    a.hasLe = true;
    a.le = le ? le : 65536;
  }
  return a;
}

Card::Card(Profile profile) : profile_(std::move(profile)) {
  atr_ = profile_.atr;
  cardData_ = profile_.cardData;
  pin_ = profile_.pin;
  pinTries_ = profile_.pinTries;
  pukTries_ = profile_.pukTries;
  keys_ = profile_.keys;

  auto addDf = [this](const std::vector<std::uint16_t>& path) {
    auto f = std::make_unique<CardFile>();
    f->path = path;
    f->isDf = true;
    f->read = Access::Always;
    f->update = Access::Never;
    files_.push_back(std::move(f));
  };
  for (const FileSpec& spec : profile_.files) {
    if (FindFile(spec.path)) continue;  // first definition wins
    auto f = std::make_unique<CardFile>();
    f->path = spec.path;
    f->isDf = spec.isDf || spec.path.empty();
    f->dfName = spec.dfName;
    if (!f->isDf) {
      f->data = spec.content;
      f->data.resize(std::max(spec.size, spec.content.size()), 0x00);
    }
    f->sfi = spec.sfi;
    f->read = spec.read;
    f->update = spec.update;
    files_.push_back(std::move(f));
  }
  if (!FindFile({})) addDf({});
  CardFile* mf = FindFile({});
  if (mf->dfName.empty()) mf->dfName = kMasterFileName;
  // Parents named only through their children's paths.
  for (std::size_t i = 0; i < files_.size(); ++i) {
    std::vector<std::uint16_t> parent = files_[i]->path;
    while (!parent.empty()) {
      parent.pop_back();
      if (!FindFile(parent)) addDf(parent);
    }
  }
  // The card family keeps its PIN under 0000 in the MF; the PIN commands
  // select it first.
  if (!FindFile({0x0000})) {
    auto pinFile = std::make_unique<CardFile>();
    pinFile->path = {0x0000};
    pinFile->data.assign(16, 0x00);
    pinFile->read = Access::Never;
    pinFile->update = Access::Never;
    files_.push_back(std::move(pinFile));
  }
  ClearSession();
  for (Installer install : Installers()) install(*this);
}

Card::~Card() {
  {
    std::lock_guard lock(timerMu_);
    timerStop_ = true;
  }
  timerCv_.notify_all();
  if (timer_.joinable()) timer_.join();
  for (TraceEntry& e : trace_) DropTraceEntry(e);
}

// --- Power and ATR -----------------------------------------------------------

Bytes Card::Atr() const {
  std::lock_guard lock(mu_);
  return atr_;
}

void Card::SetLifePhase(std::uint8_t phase) {
  std::lock_guard lock(mu_);
  if (atr_.size() >= 3) atr_[atr_.size() - 3] = phase;
  const int at = profile_.cardDataPhase;
  if (at >= 0 && static_cast<std::size_t>(at) < cardData_.size()) {
    cardData_[static_cast<std::size_t>(at)] = phase;
  }
}

std::uint8_t Card::LifePhase() const {
  std::lock_guard lock(mu_);
  return atr_.size() >= 3 ? atr_[atr_.size() - 3] : 0;
}

void Card::SetAtrStatus(std::uint16_t sw) {
  std::lock_guard lock(mu_);
  if (atr_.size() >= 3) {
    atr_[atr_.size() - 2] = static_cast<std::uint8_t>(sw >> 8);
    atr_[atr_.size() - 1] = static_cast<std::uint8_t>(sw);
  }
}

void Card::PowerOn() {
  std::lock_guard lock(mu_);
  powered_ = true;
  ClearSession();
  TraceEvent("power-on");
}

void Card::PowerOff() {
  std::lock_guard lock(mu_);
  powered_ = false;
  ClearSession();
  TraceEvent("power-off");
}

void Card::Reset() {
  std::lock_guard lock(mu_);
  powered_ = true;
  ClearSession();
  TraceEvent("reset");
}

bool Card::Powered() const {
  std::lock_guard lock(mu_);
  return powered_;
}

void Card::ClearSession() {
  pinVerified_ = false;
  currentDf_ = FindFile({});
  currentEf_ = nullptr;
  pending_.clear();
  for (auto& [name, value] : scratch_) WipeMemory(value.data(), value.size());
  scratch_.clear();
}

// --- Processing --------------------------------------------------------------

Bytes Card::Process(const Bytes& command) {
  const auto received = std::chrono::system_clock::now();
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(mu_);
    delay = delay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);

  Bytes out;
  bool leave = false;
  {
    std::lock_guard lock(mu_);
    const std::size_t number = ++commands_;
    if (tracing_) {
      exchange_ = Exchange{number, HasSecretData(command) || IsEnvelope(command), {}};
    }
    std::optional<Fault> fault;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
      if (it->at == number) {
        fault = *it;
        faults_.erase(it);
        break;
      }
    }

    Response r;
    if (fault && !fault->corrupt) {
      r = Sw(fault->sw);
    } else if (auto apdu = ParseApdu(command)) {
      try {
        if (apdu->cla == 0x00 && apdu->ins == 0xC0) {
          r = DoGetResponse(*apdu);
        } else {
          pending_.clear();
          if (wrapper_) {
            r = wrapper_(*this, *apdu, [this](const Apdu& inner) { return Dispatch(inner); });
          } else {
            r = Dispatch(*apdu);
          }
          r = Answer(*apdu, std::move(r));
        }
      } catch (const std::exception&) {
        r = Sw(0x6F00);
      }
    } else {
      r = Sw(0x6700);
    }
    // Longer than one vpcd message carries (extended Le goes up to 65536).
    if (r.data.size() + 2 > kMaxAnswer) {
      WipeMemory(r.data.data(), r.data.size());
      pending_.clear();
      r = Sw(0x6700);
    }

    out = std::move(r.data);
    out.push_back(static_cast<std::uint8_t>(r.sw >> 8));
    out.push_back(static_cast<std::uint8_t>(r.sw));
    if (fault && fault->corrupt) {
      const auto size = static_cast<std::ptrdiff_t>(out.size());
      const std::ptrdiff_t i = std::clamp(fault->index < 0 ? size + fault->index : fault->index,
                                          std::ptrdiff_t{0}, size - 1);
      out[static_cast<std::size_t>(i)] ^= 0xFF;
    }

    if (tracing_ && exchange_) RecordExchange(received, command, out);
    exchange_.reset();
    if (removeAt_ != 0 && number >= removeAt_) {
      removeAt_ = 0;
      leave = true;
    }
  }
  // The answer still goes out: the link sends it before it sees the removal.
  if (leave) {
    std::optional<std::chrono::milliseconds> back;
    {
      std::lock_guard lock(mu_);
      back = reinsertAfter_;
    }
    Remove();
    if (back) {
      std::lock_guard lock(timerMu_);
      insertAt_ = std::chrono::steady_clock::now() + *back;
      if (!timer_.joinable()) timer_ = std::thread([this] { RunTimer(); });
      timerCv_.notify_all();
    }
  }
  return out;
}

void Card::RecordExchange(std::chrono::system_clock::time_point received, const Bytes& command,
                          const Bytes& answer) {
  const std::size_t number = exchange_->number;
  const std::string lines =
      Line(received, number, ">", CommandHex(command, exchange_->maskData)) + "\n" +
      exchange_->lines + Line(std::chrono::system_clock::now(), number, "<", ToHex(answer, true)) +
      "\n";
  if (traceSink_) {
    for (std::size_t from = 0; from < lines.size();) {
      const std::size_t nl = lines.find('\n', from);
      traceSink_(lines.substr(from, nl - from));
      from = nl + 1;
    }
  }
  if (traceKeep_ == 0) return;
  trace_.push_back({number, command, answer, lines});
  while (trace_.size() > traceKeep_) {
    DropTraceEntry(trace_.front());
    trace_.pop_front();
  }
}

void Card::RunTimer() {
  std::unique_lock lock(timerMu_);
  while (!timerStop_) {
    if (!insertAt_) {
      timerCv_.wait(lock);
      continue;
    }
    const auto at = *insertAt_;
    if (timerCv_.wait_until(lock, at) == std::cv_status::timeout && insertAt_ == at) {
      insertAt_.reset();
      lock.unlock();
      Insert();
      lock.lock();
    }
  }
}

Response Card::Answer(const Apdu& apdu, Response r) {
  if (!r.deferred || r.data.empty() || r.sw != 0x9000) {
    r.deferred = false;
    return r;
  }
  r.deferred = false;
  if (!apdu.hasLe) {
    pending_ = std::move(r.data);
    const std::size_t n = std::min<std::size_t>(pending_.size(), 256);
    return Sw(static_cast<std::uint16_t>(0x6100 | (n & 0xFF)));
  }
  if (apdu.le < r.data.size()) {
    pending_.assign(r.data.begin() + static_cast<std::ptrdiff_t>(apdu.le), r.data.end());
    r.data.resize(apdu.le);
    const std::size_t n = std::min<std::size_t>(pending_.size(), 256);
    r.sw = static_cast<std::uint16_t>(0x6100 | (n & 0xFF));
  }
  return r;
}

Response Card::DoGetResponse(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Sw(0x6A86);
  if (pending_.empty()) return Sw(0x6985);
  const std::size_t le = Expected(apdu);
  if (le > pending_.size() && le != 256) {
    return Sw(static_cast<std::uint16_t>(0x6C00 | (pending_.size() & 0xFF)));
  }
  Response r;
  const std::size_t n = std::min(le, pending_.size());
  r.data.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  if (!pending_.empty()) {
    r.sw = static_cast<std::uint16_t>(0x6100 | (std::min<std::size_t>(pending_.size(), 256) & 0xFF));
  }
  return r;
}

Response Card::Dispatch(const Apdu& apdu) {
  std::lock_guard lock(mu_);
  auto it = handlers_.find(Key(apdu.cla, apdu.ins));
  return RunFrom(apdu, it == handlers_.end() ? 0 : it->second.size());
}

Response Card::DispatchWrapped(const Apdu& apdu) {
  std::lock_guard lock(mu_);
  if (!wrapper_) return Dispatch(apdu);
  const Wrapper wrapper = wrapper_;
  return wrapper(*this, apdu, [this](const Apdu& inner) { return Dispatch(inner); });
}

Response Card::RunFrom(const Apdu& apdu, std::size_t depth) {
  if (depth == 0) return Builtin(apdu);
  Handler h = handlers_[Key(apdu.cla, apdu.ins)][depth - 1];
  depth_.push_back(depth - 1);
  struct Pop {
    std::vector<std::size_t>& v;
    ~Pop() { v.pop_back(); }
  } pop{depth_};
  return h(*this, apdu);
}

Response Card::Next(const Apdu& apdu) {
  std::lock_guard lock(mu_);
  if (depth_.empty()) return Dispatch(apdu);
  return RunFrom(apdu, depth_.back());
}

void Card::AddHandler(std::uint8_t cla, std::uint8_t ins, Handler h) {
  std::lock_guard lock(mu_);
  handlers_[Key(cla, ins)].push_back(std::move(h));
}

void Card::SetWrapper(Wrapper w) {
  std::lock_guard lock(mu_);
  wrapper_ = std::move(w);
}

Response Card::Builtin(const Apdu& apdu) {
  if (apdu.cla == 0x00) {
    switch (apdu.ins) {
      case 0xA4: return DoSelect(apdu);
      case 0xB0: return DoReadBinary(apdu);
      case 0xD6: return DoUpdateBinary(apdu);
      case 0x20: return DoVerify(apdu);
      case 0x24: return DoChangePin(apdu);
      case 0x2C: return DoResetRetryCounter(apdu);
      case 0x84: return DoGetChallenge(apdu);
      default: return Sw(0x6D00);
    }
  }
  if (apdu.cla == 0x90) {
    switch (apdu.ins) {
      case 0xB8:  // card data: 18 bytes, 17 on newer cards
        if (cardData_.empty()) return Sw(0x6A88);
        return Leading(cardData_, apdu);
      case 0x18: return Leading(profile_.events, apdu);  // events buffer
      case 0x24: return DoChangePin(apdu);
      case 0x2C: return DoResetRetryCounter(apdu);
      default: return Sw(0x6D00);
    }
  }
  for (const auto& [key, list] : handlers_) {
    if ((key >> 8) == apdu.cla && !list.empty()) return Sw(0x6D00);
  }
  return Sw(0x6E00);
}

// --- SELECT --------------------------------------------------------------------

Bytes Card::Fci(const CardFile& f) {
  const std::uint16_t fid = f.fid();
  const auto hi = [](std::size_t v) { return static_cast<std::uint8_t>(v >> 8); };
  const auto lo = [](std::size_t v) { return static_cast<std::uint8_t>(v); };
  const std::size_t size = f.isDf ? 0 : f.data.size();
  if (f.isDf && !f.dfName.empty()) {
    Bytes r = {0x84, static_cast<std::uint8_t>(f.dfName.size())};
    r.insert(r.end(), f.dfName.begin(), f.dfName.end());
    Bytes tail = {0x85, 0x07, 0x38, hi(fid), lo(fid), AccessByte(f.read), AccessByte(f.update),
                  hi(size), lo(size)};
    r.insert(r.end(), tail.begin(), tail.end());
    return r;
  }
  return {0x6F, 0x0A, 0x85, 0x08, static_cast<std::uint8_t>(f.isDf ? 0x38 : 0x01), hi(fid), lo(fid),
          hi(size), lo(size), AccessByte(f.read), AccessByte(f.update), f.sfi};
}

Response Card::DoSelect(const Apdu& apdu) {
  CardFile* target = nullptr;
  switch (apdu.p1) {
    case 0x04:
      target = apdu.data.empty() ? FindFile({}) : FindByName(apdu.data);
      break;
    case 0x00: {
      if (apdu.data.empty()) {
        target = FindFile({});
        break;
      }
      if (apdu.data.size() != 2) return Sw(0x6700);
      const std::uint16_t fid = static_cast<std::uint16_t>(apdu.data[0] << 8 | apdu.data[1]);
      CardFile* df = currentDf_;
      if (fid == 0x3F00) {
        target = FindFile({});
      } else if ((target = FindChild(*df, fid)) == nullptr) {
        CardFile* parent = ParentOf(*df);
        if (parent && parent->fid() == fid) target = parent;
        else if (df->fid() == fid) target = df;
      }
      break;
    }
    case 0x08:
    case 0x09: {  // path from the MF / from the current DF
      if (apdu.data.empty() || apdu.data.size() % 2) return Sw(0x6700);
      std::vector<std::uint16_t> path = apdu.p1 == 0x09 ? currentDf_->path
                                                        : std::vector<std::uint16_t>{};
      for (std::size_t i = 0; i < apdu.data.size(); i += 2) {
        const std::uint16_t fid = static_cast<std::uint16_t>(apdu.data[i] << 8 | apdu.data[i + 1]);
        if (fid == 0x3F00 && i == 0 && apdu.p1 == 0x08) continue;
        path.push_back(fid);
      }
      target = FindFile(path);
      break;
    }
    default:
      return Sw(0x6A86);
  }
  if (!target) return Sw(0x6A82);
  SelectFile(target);
  if ((apdu.p2 & 0x0C) == 0x0C) return Sw(0x9000);
  Response r;
  r.data = Fci(*target);
  r.deferred = true;
  return r;
}

// --- READ / UPDATE BINARY -----------------------------------------------------

CardFile* Card::EfForBinary(const Apdu& apdu, std::size_t* offset, Response* error) {
  CardFile* ef = nullptr;
  if (apdu.p1 & 0x80) {
    if (apdu.p1 & 0x60) {
      *error = Sw(0x6A86);
      return nullptr;
    }
    ef = FindBySfi(apdu.p1 & 0x1F);
    if (!ef) {
      *error = Sw(0x6A82);
      return nullptr;
    }
    currentEf_ = ef;
    *offset = apdu.p2;
  } else {
    ef = currentEf_;
    if (!ef) {
      *error = Sw(0x6986);
      return nullptr;
    }
    *offset = static_cast<std::size_t>(apdu.p1 << 8 | apdu.p2);
  }
  if (ef->isDf) {
    *error = Sw(0x6981);
    return nullptr;
  }
  return ef;
}

Response Card::DoReadBinary(const Apdu& apdu) {
  if (!apdu.data.empty()) return Sw(0x6700);
  std::size_t offset = 0;
  Response error;
  CardFile* ef = EfForBinary(apdu, &offset, &error);
  if (!ef) return error;
  return ReadFile(*ef, offset, Expected(apdu));
}

Response Card::DoUpdateBinary(const Apdu& apdu) {
  if (apdu.data.empty()) return Sw(0x6700);
  std::size_t offset = 0;
  Response error;
  CardFile* ef = EfForBinary(apdu, &offset, &error);
  if (!ef) return error;
  return WriteFile(*ef, offset, apdu.data);
}

Response Card::ReadFile(CardFile& ef, std::size_t offset, std::size_t length) {
  std::lock_guard lock(mu_);
  if (!Allowed(ef.read, pinVerified_)) return Sw(0x6982);
  if (offset >= ef.data.size()) return Sw(0x6B00);
  const std::size_t n = std::min(length, ef.data.size() - offset);
  Response r;
  r.data.assign(ef.data.begin() + static_cast<std::ptrdiff_t>(offset),
                ef.data.begin() + static_cast<std::ptrdiff_t>(offset + n));
  return r;
}

Response Card::WriteFile(CardFile& ef, std::size_t offset, const Bytes& bytes) {
  std::lock_guard lock(mu_);
  if (!Allowed(ef.update, pinVerified_)) return Sw(0x6982);
  // Offset or data past the end of the EF: wrong parameters, nothing written.
  if (offset >= ef.data.size() || bytes.size() > ef.data.size() - offset) return Sw(0x6B00);
  std::copy(bytes.begin(), bytes.end(), ef.data.begin() + static_cast<std::ptrdiff_t>(offset));
  return Sw(0x9000);
}

// --- PIN -----------------------------------------------------------------------

Response Card::DoVerify(const Apdu& apdu) {
  if (apdu.p1 != 0x00) return Sw(0x6A86);
  if (apdu.p2 != 0x00 && apdu.p2 != 0x01 && apdu.p2 != 0x80 && apdu.p2 != 0x81) return Sw(0x6A88);
  if (apdu.data.empty()) {  // retry counter query
    if (pinTries_ <= 0) return Sw(0x6983);
    if (pinVerified_) return Sw(0x9000);
    return Sw(static_cast<std::uint16_t>(0x63C0 | std::min(pinTries_, 15)));
  }
  if (pinTries_ <= 0) return Sw(0x6983);
  if (Bytes(pin_.begin(), pin_.end()) == apdu.data) {
    pinTries_ = profile_.pinTries;
    pinVerified_ = true;
    return Sw(0x9000);
  }
  pinVerified_ = false;
  --pinTries_;
  return Sw(static_cast<std::uint16_t>(0x63C0 | std::min(pinTries_, 15)));
}

// 90 24: selector, old length, old PIN, new length, new PIN.
// 00 24: old PIN followed by the new PIN (the old one as long as the PIN held).
Response Card::DoChangePin(const Apdu& apdu) {
  Bytes oldPin, newPin;
  const Bytes& d = apdu.data;
  if (apdu.cla == 0x90) {
    if (d.size() < 3) return Sw(0x6700);
    const std::size_t oldLen = d[1];
    if (d.size() < 3 + oldLen) return Sw(0x6A80);
    const std::size_t newLen = d[2 + oldLen];
    if (d.size() != 3 + oldLen + newLen) return Sw(0x6A80);
    oldPin.assign(d.begin() + 2, d.begin() + 2 + static_cast<std::ptrdiff_t>(oldLen));
    newPin.assign(d.begin() + 3 + static_cast<std::ptrdiff_t>(oldLen), d.end());
  } else {
    if (d.size() <= pin_.size()) return Sw(0x6700);
    oldPin.assign(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(pin_.size()));
    newPin.assign(d.begin() + static_cast<std::ptrdiff_t>(pin_.size()), d.end());
  }
  if (pinTries_ <= 0) return Sw(0x6983);
  if (Bytes(pin_.begin(), pin_.end()) != oldPin) {
    pinVerified_ = false;
    --pinTries_;
    return Sw(static_cast<std::uint16_t>(0x63C0 | std::min(pinTries_, 15)));
  }
  if (newPin.size() < 4 || newPin.size() > 16) return Sw(0x6A80);
  pin_.assign(newPin.begin(), newPin.end());
  pinTries_ = profile_.pinTries;
  pinVerified_ = true;
  WipeMemory(oldPin.data(), oldPin.size());
  WipeMemory(newPin.data(), newPin.size());
  return Sw(0x9000);
}

// 16-byte unblocking code, then optionally new length and new PIN.
Response Card::DoResetRetryCounter(const Apdu& apdu) {
  const Bytes& d = apdu.data;
  if (d.size() < 16) return Sw(0x6700);
  Bytes newPin;
  if (d.size() > 16) {
    const std::size_t newLen = d[16];
    if (d.size() != 17 + newLen) return Sw(0x6A80);
    newPin.assign(d.begin() + 17, d.end());
  }
  if (pukTries_ <= 0) return Sw(0x6983);
  Bytes puk(profile_.puk.begin(), profile_.puk.end());
  puk.resize(16, 0xFF);
  const bool match = std::equal(puk.begin(), puk.end(), d.begin());
  WipeMemory(puk.data(), puk.size());
  if (!match) {
    --pukTries_;
    return Sw(static_cast<std::uint16_t>(0x63C0 | std::min(pukTries_, 15)));
  }
  if (!newPin.empty() && (newPin.size() < 4 || newPin.size() > 16)) return Sw(0x6A80);
  pukTries_ = profile_.pukTries;
  pinTries_ = profile_.pinTries;
  if (!newPin.empty()) pin_.assign(newPin.begin(), newPin.end());
  WipeMemory(newPin.data(), newPin.size());
  return Sw(0x9000);
}

Response Card::DoGetChallenge(const Apdu& apdu) {
  if (apdu.p1 || apdu.p2) return Sw(0x6A86);
  if (!apdu.hasLe || !apdu.data.empty()) return Sw(0x6700);
  static thread_local std::mt19937 rng{std::random_device{}()};
  Response r;
  r.data.resize(apdu.le);
  for (auto& b : r.data) b = static_cast<std::uint8_t>(rng());
  ++challengeCounter_;
  scratch_["challenge"] = r.data;
  return r;
}

bool Card::PinVerified() const {
  std::lock_guard lock(mu_);
  return pinVerified_;
}

void Card::SetPinVerified(bool verified) {
  std::lock_guard lock(mu_);
  pinVerified_ = verified;
}

int Card::PinTriesLeft() const {
  std::lock_guard lock(mu_);
  return pinTries_;
}

int Card::PukTriesLeft() const {
  std::lock_guard lock(mu_);
  return pukTries_;
}

std::string Card::CurrentPin() const {
  std::lock_guard lock(mu_);
  return pin_;
}

// --- File system -----------------------------------------------------------------

CardFile* Card::FindFile(const std::vector<std::uint16_t>& path) {
  std::lock_guard lock(mu_);
  for (auto& f : files_) {
    if (f->path == path) return f.get();
  }
  return nullptr;
}

CardFile* Card::FindByName(const Bytes& dfName) {
  std::lock_guard lock(mu_);
  for (auto& f : files_) {
    if (f->isDf && !f->dfName.empty() && f->dfName == dfName) return f.get();
  }
  return nullptr;
}

CardFile* Card::FindChild(const CardFile& df, std::uint16_t fid) {
  std::lock_guard lock(mu_);
  for (auto& f : files_) {
    if (f->path.size() == df.path.size() + 1 && f->path.back() == fid &&
        std::equal(df.path.begin(), df.path.end(), f->path.begin())) {
      return f.get();
    }
  }
  return nullptr;
}

CardFile* Card::FindBySfi(std::uint8_t sfi) {
  std::lock_guard lock(mu_);
  const std::uint8_t stored = sfi == 0 ? kSfiZero : sfi;
  const std::vector<std::uint16_t>& dir = currentDf_->path;
  CardFile* elsewhere = nullptr;
  for (auto& f : files_) {
    if (f->isDf || f->sfi != stored) continue;
    if (f->path.size() == dir.size() + 1 && std::equal(dir.begin(), dir.end(), f->path.begin())) {
      return f.get();
    }
    if (!elsewhere) elsewhere = f.get();
  }
  return elsewhere;
}

CardFile* Card::ParentOf(const CardFile& f) {
  if (f.path.empty()) return nullptr;
  std::vector<std::uint16_t> p = f.path;
  p.pop_back();
  return FindFile(p);
}

CardFile* Card::CurrentDf() {
  std::lock_guard lock(mu_);
  return currentDf_;
}

CardFile* Card::CurrentEf() {
  std::lock_guard lock(mu_);
  return currentEf_;
}

void Card::SelectFile(CardFile* file) {
  std::lock_guard lock(mu_);
  if (!file) return;
  if (file->isDf) {
    currentDf_ = file;
    currentEf_ = nullptr;
  } else {
    currentDf_ = ParentOf(*file);
    currentEf_ = file;
  }
}

CardFile* Card::CreateEf(const std::vector<std::uint16_t>& parent, std::uint16_t fid,
                         std::size_t size, Access read, Access update) {
  std::lock_guard lock(mu_);
  CardFile* df = FindFile(parent);
  if (!df || !df->isDf || FindChild(*df, fid)) return nullptr;
  auto f = std::make_unique<CardFile>();
  f->path = parent;
  f->path.push_back(fid);
  f->data.assign(size, 0x00);
  f->read = read;
  f->update = update;
  files_.push_back(std::move(f));
  return files_.back().get();
}

bool Card::DeleteFile(const std::vector<std::uint16_t>& path) {
  std::lock_guard lock(mu_);
  if (path.empty()) return false;
  const std::size_t before = files_.size();
  std::erase_if(files_, [&](const std::unique_ptr<CardFile>& f) {
    const bool gone = f->path.size() >= path.size() &&
                      std::equal(path.begin(), path.end(), f->path.begin());
    if (gone && f.get() == currentEf_) currentEf_ = nullptr;
    if (gone && f.get() == currentDf_) currentDf_ = nullptr;
    return gone;
  });
  if (!currentDf_) currentDf_ = FindFile({});
  return files_.size() != before;
}

// --- Keys and scratch ----------------------------------------------------------------

KeySpec* Card::FindKey(std::uint8_t reference) {
  std::lock_guard lock(mu_);
  for (auto& k : keys_) {
    if (k.reference == reference) return &k;
  }
  return nullptr;
}

KeySpec* Card::FindKeyByFile(std::uint16_t fileId) {
  std::lock_guard lock(mu_);
  for (auto& k : keys_) {
    if (k.fileId == fileId) return &k;
  }
  return nullptr;
}

std::vector<KeySpec>& Card::keys() {
  std::lock_guard lock(mu_);
  return keys_;
}

std::map<std::string, Bytes>& Card::scratch() {
  std::lock_guard lock(mu_);
  return scratch_;
}

void Card::EraseScratch(const std::string& name) {
  std::lock_guard lock(mu_);
  auto it = scratch_.find(name);
  if (it == scratch_.end()) return;
  WipeMemory(it->second.data(), it->second.size());
  scratch_.erase(it);
}

std::map<std::string, Bytes>& Card::settings() {
  std::lock_guard lock(mu_);
  return settings_;
}

// --- Test controls ---------------------------------------------------------------------

// The listener runs under the lock, so that once SetPresenceListener has
// replaced it, no call to the old one is still under way (a link going
// away); listeners must not wait for a thread that uses the card.
void Card::Remove() {
  std::lock_guard lock(mu_);
  if (!inserted_) return;
  inserted_ = false;
  powered_ = false;
  ClearSession();
  TraceEvent("remove");
  if (presenceListener_) presenceListener_(false);
}

void Card::Insert() {
  std::lock_guard lock(mu_);
  if (inserted_) return;
  inserted_ = true;
  TraceEvent("insert");
  if (presenceListener_) presenceListener_(true);
}

bool Card::Inserted() const {
  std::lock_guard lock(mu_);
  return inserted_;
}

void Card::SetPresenceListener(std::function<void(bool)> listener) {
  std::lock_guard lock(mu_);
  presenceListener_ = std::move(listener);
}

void Card::SetDelay(std::chrono::milliseconds perApdu) {
  std::lock_guard lock(mu_);
  delay_ = perApdu;
}

std::chrono::milliseconds Card::Delay() const {
  std::lock_guard lock(mu_);
  return delay_;
}

void Card::FailAt(int n, std::uint16_t sw) {
  std::lock_guard lock(mu_);
  if (n > 0) faults_.push_back({commands_ + static_cast<std::size_t>(n), false, sw, 0});
}

void Card::CorruptAt(int n, std::ptrdiff_t index) {
  std::lock_guard lock(mu_);
  if (n > 0) faults_.push_back({commands_ + static_cast<std::size_t>(n), true, 0, index});
}

void Card::RemoveAfter(int n, std::optional<std::chrono::milliseconds> reinsertAfter) {
  std::lock_guard lock(mu_);
  removeAt_ = n > 0 ? commands_ + static_cast<std::size_t>(n) : 0;
  reinsertAfter_ = n > 0 ? reinsertAfter : std::nullopt;
}

void Card::BlockPin() { SetPinTries(0); }

void Card::SetPinTries(int left) {
  std::lock_guard lock(mu_);
  pinTries_ = std::max(0, left);
  if (pinTries_ == 0) pinVerified_ = false;
}

void Card::SetPukTries(int left) {
  std::lock_guard lock(mu_);
  pukTries_ = std::max(0, left);
}

// --- Trace ----------------------------------------------------------------------------

void Card::StartTrace(std::size_t keep) {
  std::lock_guard lock(mu_);
  ClearTrace();
  tracing_ = true;
  traceKeep_ = keep;
}

void Card::StopTrace() {
  std::lock_guard lock(mu_);
  tracing_ = false;
  exchange_.reset();
  ClearTrace();
}

bool Card::Tracing() const {
  std::lock_guard lock(mu_);
  return tracing_;
}

void Card::SetTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(mu_);
  traceSink_ = std::move(sink);
}

std::vector<TraceEntry> Card::Trace() const {
  std::lock_guard lock(mu_);
  return {trace_.begin(), trace_.end()};
}

void Card::ClearTrace() {
  std::lock_guard lock(mu_);
  for (TraceEntry& e : trace_) DropTraceEntry(e);
  trace_.clear();
}

std::string Card::TraceText() const {
  std::lock_guard lock(mu_);
  std::string out;
  for (const TraceEntry& e : trace_) out += e.lines;
  return out;
}

void Card::TraceInner(const Bytes& command) {
  std::lock_guard lock(mu_);
  if (!exchange_) return;
  exchange_->lines += Line(std::chrono::system_clock::now(), exchange_->number, ">>",
                           CommandHex(command, HasSecretData(command))) +
                      "\n";
}

void Card::TraceInnerAnswer(const Response& answer) {
  std::lock_guard lock(mu_);
  if (!exchange_) return;
  Bytes bytes = answer.data;
  bytes.push_back(static_cast<std::uint8_t>(answer.sw >> 8));
  bytes.push_back(static_cast<std::uint8_t>(answer.sw));
  exchange_->lines +=
      Line(std::chrono::system_clock::now(), exchange_->number, "<<", ToHex(bytes, true)) + "\n";
}

void Card::TraceCarried(const Bytes& carried) {
  std::lock_guard lock(mu_);
  // Until the carried header is in, the chunk stays masked.
  if (exchange_ && carried.size() >= 2) exchange_->maskData = HasSecretData(carried);
}

void Card::TraceEvent(const char* word) {
  if (!tracing_ || !traceSink_) return;
  traceSink_(Line(std::chrono::system_clock::now(), commands_, "!", word));
}

void Card::DropTraceEntry(TraceEntry& e) {
  WipeMemory(e.command.data(), e.command.size());
  WipeMemory(e.response.data(), e.response.size());
}

std::size_t Card::CommandCount() const {
  std::lock_guard lock(mu_);
  return commands_;
}

// --- Hex -------------------------------------------------------------------------------

std::string ToHex(const Bytes& b, bool spaced) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (spaced && i) s += ' ';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 0x0F];
  }
  return s;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

}  // namespace zorbix::sim
