// Writes the harnesses' seeds from what the virtual cards really hold: their
// PKCS#15 files, compressed values, test PKI and channel parameters, and
// message streams as the vpcd driver sends them. The seeds are committed;
// run this again after the cards change:
//
//   build/tests/fuzz/fuzz_make_corpus tests/fuzz/corpus
//
// Each harness's folder is written anew; the regression inputs live apart
// (tests/fuzz/regressions) and are never touched here.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "p11/tokentypes.h"
#include "sim/content_der.h"
#include "sim/content_pkcs15.h"
#include "sim/content_pki.h"
#include "sim/profile.h"

namespace {

using namespace zorbix::sim;
namespace fs = std::filesystem;

class Corpus {
 public:
  explicit Corpus(fs::path root) : root_(std::move(root)) {}

  // Adds one seed; the same bytes under one harness are kept once.
  void Add(const std::string& harness, const std::string& name, const Bytes& bytes) {
    if (!seen_[harness].insert(bytes).second) return;
    const fs::path dir = root_ / harness;
    if (cleared_.insert(harness).second) {
      fs::remove_all(dir);
      fs::create_directories(dir);
    }
    std::ofstream out(dir / Safe(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (dir / name).string());
    ++count_;
  }
  std::size_t Count() const { return count_; }

 private:
  static std::string Safe(std::string s) {
    for (char& c : s)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
    return s;
  }

  fs::path root_;
  std::map<std::string, std::set<Bytes>> seen_;
  std::set<std::string> cleared_;
  std::size_t count_ = 0;
};

const FileSpec* FindFile(const Profile& p, std::vector<std::uint16_t> path) {
  for (const FileSpec& f : p.files)
    if (f.path == path) return &f;
  return nullptr;
}

Bytes Cat(std::initializer_list<Bytes> parts) { return der::Cat(parts); }

// vpcd messages: 2-byte length, then the bytes.
Bytes Message(const Bytes& m) {
  return Cat({{static_cast<std::uint8_t>(m.size() >> 8), static_cast<std::uint8_t>(m.size())}, m});
}
Bytes Apdu(std::initializer_list<std::uint8_t> header, const Bytes& data = {},
           std::optional<std::uint8_t> le = std::nullopt) {
  Bytes a(header);
  if (!data.empty()) {
    a.push_back(static_cast<std::uint8_t>(data.size()));
    a.insert(a.end(), data.begin(), data.end());
  }
  if (le) a.push_back(*le);
  return a;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void CardFiles(Corpus& c, const Profile& p) {
  const struct {
    const char* harness;
    std::uint16_t fid;
  } files[] = {{"tokeninfo", 0x5032}, {"unused_space", 0x5033}, {"prkdf", 0x6001},
               {"pukdf", 0x6002},     {"cdf", 0x6004},          {"dodf", 0x6005}};
  for (const auto& f : files) {
    const FileSpec* spec = FindFile(p, {0x5015, f.fid});
    if (spec && !spec->content.empty()) c.Add(f.harness, p.name, spec->content);
  }
  // Compressed values: certificates and data objects below 6061 and 6081.
  for (const FileSpec& f : p.files) {
    if (f.path.size() == 2 && (f.path[0] == 0x6061 || f.path[0] == 0x6081) &&
        f.content.size() > 8) {
      char name[16];
      std::snprintf(name, sizeof name, "-%04X", f.path[1]);
      c.Add("compressed_file", p.name + name, f.content);
    }
  }
  // The wizard: its ODF, then the file every other selection reaches.
  const FileSpec* odf = FindFile(p, {0x5015, 0x5031});
  for (std::uint16_t fid : {0x6004, 0x6000}) {
    const FileSpec* dir = FindFile(p, {0x5015, fid});
    if (!odf || !dir) continue;
    char name[16];
    std::snprintf(name, sizeof name, "-%04X", fid);
    c.Add("wizard_odf", p.name + name,
          Cat({{static_cast<std::uint8_t>(odf->content.size())}, odf->content, dir->content}));
  }
}

// What the driver and the module send a card: power, ATR, the selections
// and reads of the PKCS#15 files, the PIN, the card data and events.
void VpcdStreams(Corpus& c, std::size_t index, const Profile& p) {
  const Bytes mf = Text("Master.File");
  const Bytes aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
  Bytes s = {static_cast<std::uint8_t>(index)};
  for (const Bytes& m :
       {Bytes{0x01}, Bytes{0x04}, Apdu({0x00, 0xA4, 0x04, 0x00}, mf), Apdu({0x00, 0xC0, 0x00, 0x00}, {}, 0x20),
        Apdu({0x00, 0xA4, 0x04, 0x00}, aid), Apdu({0x00, 0xA4, 0x00, 0x00}, {0x50, 0x31}),
        Apdu({0x00, 0xB0, 0x00, 0x00}, {}, 0x28), Apdu({0x00, 0xB0, 0x92, 0x00}, {}, 0x04),
        Apdu({0x00, 0xB0, 0x84, 0x00}, {}, 0xFA), Apdu({0x90, 0xB8, 0x00, 0x00}, {}, 0x12),
        Apdu({0x90, 0x18, 0x00, 0x00}, {}, 0x00), Apdu({0x00, 0x84, 0x00, 0x00}, {}, 0x08),
        Apdu({0x00, 0x20, 0x00, 0x00}, {}), Apdu({0x00, 0x20, 0x00, 0x00}, Text(p.pin)),
        Bytes{0x02}, Bytes{0x00}})
    s = Cat({s, Message(m)});
  c.Add("vpcd", p.name + "-session", s);
  // The start of the secure channel: serial number, the terminal's key
  // reference and the card's certificates through short identifiers.
  if (p.secureChannel) {
    Bytes ch = {static_cast<std::uint8_t>(index)};
    for (const Bytes& m :
         {Bytes{0x01}, Apdu({0x00, 0xA4, 0x04, 0x00}, mf), Apdu({0x90, 0xB8, 0x00, 0x00}, {}, 0x07),
          Apdu({0x00, 0x22, 0x81, 0xB6}, {0x83, 0x02, 0x02, 0x0F}),
          Apdu({0x00, 0x2A, 0x00, 0xAE}, PkiFile("c-cv-ca-cs-aut.cvc")),
          Apdu({0x00, 0xB0, 0x80, 0x00}, {}, 0x04), Apdu({0x00, 0xB0, 0x9F, 0x00}, {}, 0x04),
          Apdu({0x00, 0x84, 0x00, 0x00}, {}, 0x08)})
      ch = Cat({ch, Message(m)});
    c.Add("vpcd", p.name + "-channel", ch);
  }
}

// A configuration file of its own: one extra type with two ATRs, a long
// mechanism list and channel parameters.
Bytes ExtraTokenTypes() {
  using namespace der;
  const Bytes atrs = Tlv(0x31, Cat({Seq({OctetString({0x3B, 0x6F, 0x00, 0x00, 0x80, 0x31}),
                                         OctetString({0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF})}),
                                    Seq({OctetString({0x3B, 0x00}), OctetString({0xFF, 0x00})})}));
  const Bytes mechanisms = Tlv(0x31, Cat({Integer(0x0000), Integer(0x0001), Integer(0x0006),
                                          Integer(0x80000001)}));
  const Bytes type = Seq({Utf8String("EXTRA"), atrs, Integer(1), Integer(3), mechanisms,
                          OctetString(PkiFile("vexa-channel-params.der"))});
  return Tlv(0x31, type);
}

void SecureMessaging(Corpus& c) {
  // The harness's forms (first byte): 0 as it stands, 1 MAC added, 2 built
  // from status and plain data; +4 for 8-byte MACs.
  const Bytes padded = {'Z', 'O', 'R', 'B', 'I', 'X', 0x80, 0x00};
  Bytes block250(250, 0x5A);
  block250 = Cat({block250, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00}});
  c.Add("sm_response", "plain-9000", Cat({{0x02, 0x90, 0x00}, padded}));
  c.Add("sm_response", "plain-9000-mac8", Cat({{0x06, 0x90, 0x00}, padded}));
  c.Add("sm_response", "plain-long", Cat({{0x02, 0x90, 0x00}, block250}));
  c.Add("sm_response", "status-63C1", {0x02, 0x63, 0xC1});
  c.Add("sm_response", "objects-9000", {0x01, 0x99, 0x02, 0x90, 0x00});
  c.Add("sm_response", "objects-87-9000",
        Cat({{0x01, 0x87, 0x09, 0x01}, Bytes(8, 0x11), {0x99, 0x02, 0x90, 0x00}}));
  c.Add("sm_response", "answer-9000", {0x00, 0x99, 0x02, 0x90, 0x00, 0x8E, 0x04, 0x9B, 0x8B, 0x43, 0xAB});
  c.Add("sm_response", "answer-87",
        Cat({{0x04, 0x87, 0x09, 0x01}, Bytes(8, 0x22),
             {0x99, 0x02, 0x90, 0x00, 0x8E, 0x08}, Bytes(8, 0x33)}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus <corpus folder>\n");
    return 2;
  }
  try {
    Corpus c(argv[1]);
    const auto& profiles = AllProfiles();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
      CardFiles(c, profiles[i]);
      VpcdStreams(c, i, profiles[i]);
    }
    for (const std::string& name : PkiFileNames()) {
      if (name.size() > 8 && name.compare(name.size() - 8, 8, ".crt.der") == 0)
        c.Add("card_certificate", name, PkiFile(name));
      if (name.find("channel-params") != std::string::npos) {
        c.Add("channel_params", name, PkiFile(name));
      }
    }
    // The built-in table (p11/tokentypes.conf as the build encodes it), and
    // a file with a type of its own.
    const auto builtIn = zorbix::p11::BuiltInTokenTypes();
    c.Add("tokentypes", "built-in", Bytes(builtIn.begin(), builtIn.end()));
    c.Add("tokentypes", "extra-type", ExtraTokenTypes());
    // A stored (not compressed) value: C equals U.
    const Bytes stored = Text("ZORBIX stored value");
    c.Add("compressed_file", "stored",
          Cat({{static_cast<std::uint8_t>(stored.size()), 0, 0, 0,
                static_cast<std::uint8_t>(stored.size()), 0, 0, 0},
               stored}));
    SecureMessaging(c);
    std::printf("%zu seeds written to %s\n", c.Count(), argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_make_corpus: %s\n", e.what());
    return 1;
  }
  return 0;
}
