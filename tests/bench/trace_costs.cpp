// Sorting the card's trace into needed and avoidable exchanges.
#include "tests/bench/trace_costs.h"

#include <iomanip>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace zorbix::bench {
namespace {

Bytes HexBytes(std::istringstream& in) {
  Bytes out;
  std::string token;
  while (in >> token) {
    if (token == "**") out.push_back(0);
    else out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  }
  return out;
}

std::uint16_t StatusOf(const Bytes& answer) {
  if (answer.size() < 2) return 0;
  return static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
}

bool Succeeded(std::uint16_t sw) { return sw == 0x9000 || (sw >> 8) == 0x61; }

using Path = std::vector<std::uint16_t>;

std::string PathText(const Path& p) {
  std::ostringstream s;
  s << "3F00";
  s << std::hex << std::uppercase << std::setfill('0');
  for (std::uint16_t f : p) s << "/" << std::setw(4) << f;
  return s.str();
}

// Where the card's file pointer stands, as far as the commands show it.
struct Selection {
  bool known = false;
  Path df;
  std::optional<Path> ef;
  bool operator==(const Selection& o) const { return known && o.known && df == o.df && ef == o.ef; }
};

class FileTree {
 public:
  explicit FileTree(const sim::Profile& profile) {
    for (const sim::FileSpec& f : profile.files) {
      if (f.isDf) dfs_.insert(f.path);
      if (f.isDf && !f.dfName.empty()) byName_[f.dfName] = f.path;
    }
  }
  bool IsDf(const Path& p) const { return p.empty() || dfs_.count(p) > 0; }
  std::optional<Path> ByName(const Bytes& name) const {
    if (name.empty()) return Path{};
    auto it = byName_.find(name);
    if (it == byName_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::set<Path> dfs_;
  std::map<Bytes, Path> byName_;
};

// The file a SELECT reaches from `now` (the card's rules), or nullopt.
std::optional<Path> Target(const Bytes& c, const Selection& now, const FileTree& tree) {
  if (c.size() < 4) return std::nullopt;
  const std::uint8_t p1 = c[2];
  const Bytes data = c.size() > 5 ? Bytes(c.begin() + 5, c.begin() + 5 + std::min<std::size_t>(c[4], c.size() - 5))
                                  : Bytes{};
  if (p1 == 0x04) return tree.ByName(data);
  if (p1 == 0x00) {
    if (data.size() != 2) return data.empty() ? std::optional<Path>(Path{}) : std::nullopt;
    const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    if (fid == 0x3F00) return Path{};
    if (!now.known) return std::nullopt;
    Path child = now.df;
    child.push_back(fid);
    if (!now.df.empty() && now.df.back() == fid && !tree.IsDf(child)) return now.df;
    return child;
  }
  if (p1 == 0x08 || p1 == 0x09) {
    if (p1 == 0x09 && !now.known) return std::nullopt;
    Path p = p1 == 0x09 ? now.df : Path{};
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      const std::uint16_t fid = static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]);
      if (fid == 0x3F00 && i == 0 && p1 == 0x08) continue;
      p.push_back(fid);
    }
    return p;
  }
  return std::nullopt;
}

void Move(Selection& s, const Path& target, const FileTree& tree) {
  s.known = true;
  if (tree.IsDf(target)) {
    s.df = target;
    s.ef.reset();
  } else {
    s.df = Path(target.begin(), target.end() - 1);
    s.ef = target;
  }
}

}  // namespace

const char* KindName(Kind k) {
  switch (k) {
    case Kind::Work: return "work";
    case Kind::Select: return "select";
    case Kind::PathStep: return "path step";
    case Kind::FciAnswer: return "FCI answer";
    case Kind::RootAgain: return "root again";
    case Kind::SelectAgain: return "select again";
    case Kind::ReadAgain: return "read again";
    case Kind::AskedAgain: return "asked again";
  }
  return "?";
}

std::size_t Cost::Minimum() const {
  const auto at = [this](Kind k) {
    auto it = of.find(k);
    return it == of.end() ? std::size_t{0} : it->second;
  };
  return at(Kind::Work) + at(Kind::Select);
}

std::size_t Cost::Redundant() const {
  std::size_t n = 0;
  for (Kind k : {Kind::SelectAgain, Kind::ReadAgain, Kind::AskedAgain}) {
    auto it = of.find(k);
    if (it != of.end()) n += it->second;
  }
  return n;
}

Cost& Cost::operator+=(const Cost& other) {
  exchanges += other.exchanges;
  bytes += other.bytes;
  for (const auto& [k, n] : other.of) of[k] += n;
  return *this;
}

std::vector<Exchange> ParseTrace(const std::string& text) {
  std::vector<Exchange> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string time, direction;
    std::size_t number = 0;
    if (!(in >> time >> number >> direction)) continue;
    if (direction == ">") {
      out.push_back(Exchange{number, HexBytes(in), {}, {}, {}});
      continue;
    }
    if (out.empty() || out.back().number != number) continue;
    if (direction == "<") out.back().answer = HexBytes(in);
    else if (direction == ">>") out.back().plain = HexBytes(in);
    else if (direction == "<<") out.back().plainAnswer = HexBytes(in);
  }
  return out;
}

Cost Analyse(const std::vector<Exchange>& exchanges, const sim::Profile& profile, std::vector<std::string>* notes) {
  const FileTree tree(profile);
  Cost cost;
  Selection now;
  std::map<std::string, std::set<std::size_t>> read;  // file -> offsets read
  std::set<std::pair<Bytes, Bytes>> asked;            // command, answer
  // The selections since the last other command: their exchanges, and
  // where the pointer stood before the first of them.
  std::vector<std::size_t> run;
  Selection beforeRun;
  std::vector<Kind> kinds(exchanges.size(), Kind::Work);
  bool lastWasSelect = false;

  const auto closeRun = [&] {
    if (run.empty()) return;
    // Only the last selection of a run reaches a file the next command
    // uses; the ones before it are steps on the way. A run that leaves the
    // card where it stood was not needed: after a new start from a root
    // (an operation of its own), or else plainly redundant.
    const bool nothingMoved = now == beforeRun;
    const bool fromRoot = exchanges[run.front()].command.size() > 2 &&
                          (exchanges[run.front()].plain.empty() ? exchanges[run.front()].command
                                                                : exchanges[run.front()].plain)[2] == 0x04;
    for (std::size_t i = 0; i < run.size(); ++i) {
      const std::size_t at = run[i];
      if (nothingMoved) {
        if (fromRoot) kinds[at] = kinds[at] == Kind::FciAnswer ? Kind::FciAnswer : Kind::RootAgain;
        else kinds[at] = Kind::SelectAgain;
        continue;
      }
      if (kinds[at] == Kind::FciAnswer || kinds[at] == Kind::SelectAgain || kinds[at] == Kind::RootAgain) continue;
      kinds[at] = Kind::PathStep;
    }
    if (nothingMoved) {
      run.clear();
      return;
    }
    for (std::size_t i = run.size(); i-- > 0;) {
      if (kinds[run[i]] == Kind::PathStep) {
        kinds[run[i]] = Kind::Select;
        break;
      }
    }
    run.clear();
  };

  for (std::size_t i = 0; i < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    cost.exchanges++;
    cost.bytes += e.command.size() + e.answer.size();
    const Bytes& c = e.plain.empty() ? e.command : e.plain;
    const Bytes& a = e.plain.empty() ? e.answer : e.plainAnswer;
    if (c.size() < 4) continue;
    const bool getResponse = e.plain.empty() && c[0] == 0x00 && c[1] == 0xC0;
    if (getResponse) {
      if (lastWasSelect) {
        kinds[i] = Kind::FciAnswer;
        run.push_back(i);
      }
      continue;
    }
    // Envelope chunks before the one that completes the command carry its
    // bytes: work of the command they carry.
    if (e.plain.empty() && c[0] == 0x90 && c[1] == 0xC2) continue;

    const bool select = c[1] == 0xA4 && (c[0] & 0xF0) == 0x00;
    if (select) {
      if (c[2] == 0x04) closeRun();  // a new start from a root
      if (run.empty()) beforeRun = now;
      run.push_back(i);
      const auto target = Target(c, now, tree);
      Selection after = now;
      if (target && Succeeded(StatusOf(a))) Move(after, *target, tree);
      else if (Succeeded(StatusOf(a))) after.known = false;
      if (after == now) kinds[i] = c[2] == 0x04 ? Kind::RootAgain : Kind::SelectAgain;
      now = after;
      lastWasSelect = true;
      if (notes) notes->push_back("");
      continue;
    }
    closeRun();
    lastWasSelect = false;

    const bool readBinary = c[1] == 0xB0 && (c[0] & 0xF0) == 0x00;
    if (readBinary) {
      std::string file;
      std::size_t offset = static_cast<std::size_t>(c[2]) << 8 | c[3];
      if (c[2] & 0x80) {
        file = (now.known ? PathText(now.df) : std::string("?")) + "/sfi" + std::to_string(c[2] & 0x1F);
        offset = c[3];
        now.ef.reset();  // the short identifier selects a file we do not name
      } else {
        file = now.known && now.ef ? PathText(*now.ef) : std::string("?");
      }
      const std::size_t got = a.size() >= 2 ? a.size() - 2 : 0;
      bool fresh = got == 0 || file == "?";
      for (std::size_t b = offset; b < offset + got; ++b)
        if (read[file].insert(b).second) fresh = true;
      if (!fresh) kinds[i] = Kind::ReadAgain;
      continue;
    }
    const bool writes = (c[0] & 0xF0) == 0x00 && (c[1] == 0xD6 || c[1] == 0xE0 || c[1] == 0xE4);
    if (writes) read.clear();  // what was read may have changed
    // Secrets are masked: two VERIFY with a PIN never count as the same.
    const bool masked = c.size() > 5 && (c[1] == 0x20 || c[1] == 0x24 || c[1] == 0x2C);
    // GET CHALLENGE answers anew each time; the key file's activation (90 44)
    // comes before and after a generation on purpose.
    const bool fresh = c[1] == 0x84 || (c[0] == 0x90 && c[1] == 0x44);
    if (!masked && !writes && !fresh && !asked.insert({c, a}).second) kinds[i] = Kind::AskedAgain;
  }
  closeRun();
  for (Kind k : kinds) cost.of[k]++;
  if (notes) {
    notes->clear();
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
      const Exchange& e = exchanges[i];
      const Bytes& c = e.plain.empty() ? e.command : e.plain;
      std::ostringstream s;
      s << std::setw(5) << e.number << " " << std::left << std::setw(13) << KindName(kinds[i]) << std::right;
      s << std::hex << std::uppercase << std::setfill('0');
      for (std::size_t b = 0; b < c.size() && b < 12; ++b) s << " " << std::setw(2) << int(c[b]);
      if (c.size() > 12) s << " ..";
      const Bytes& a = e.plain.empty() ? e.answer : e.plainAnswer;
      s << " -> " << std::dec << (a.size() >= 2 ? a.size() - 2 : 0) << "B " << std::hex << std::setw(4)
        << StatusOf(a);
      notes->push_back(s.str());
    }
  }
  return cost;
}

}  // namespace zorbix::bench
