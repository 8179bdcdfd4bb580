// Strict reduced-schema checks for the profile tests.
#include "tests/simcontent/schema.h"

#include <cctype>
#include <functional>
#include <vector>

namespace zorbix::sim::test {

namespace {

struct El {
  std::uint8_t tag = 0;
  Bytes whole;     // tag, length, contents
  Bytes contents;
};

// Reads one element (one-byte tags only: the schema has no others).
std::optional<El> ReadEl(const Bytes& d, std::size_t& pos) {
  if (pos + 2 > d.size()) return std::nullopt;
  El e;
  std::size_t start = pos;
  e.tag = d[pos++];
  if ((e.tag & 0x1F) == 0x1F) return std::nullopt;
  std::size_t len = d[pos++];
  if (len == 0x80) return std::nullopt;  // indefinite: not DER
  if (len > 0x80) {
    std::size_t n = len & 0x7F;
    if (n > 2 || pos + n > d.size()) return std::nullopt;
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = len << 8 | d[pos++];
    if (len < 0x80 || (n == 2 && len < 0x100)) return std::nullopt;  // not minimal
  }
  if (pos + len > d.size()) return std::nullopt;
  e.contents.assign(d.begin() + static_cast<std::ptrdiff_t>(pos),
                    d.begin() + static_cast<std::ptrdiff_t>(pos + len));
  pos += len;
  e.whole.assign(d.begin() + static_cast<std::ptrdiff_t>(start),
                 d.begin() + static_cast<std::ptrdiff_t>(pos));
  return e;
}

std::optional<std::vector<El>> Children(const Bytes& contents) {
  std::vector<El> out;
  std::size_t pos = 0;
  while (pos < contents.size()) {
    auto e = ReadEl(contents, pos);
    if (!e) return std::nullopt;
    out.push_back(*e);
  }
  return out;
}

using Check = std::function<bool(const El&)>;

struct Member {
  std::vector<std::uint8_t> tags;  // empty: any tag (untagged open type)
  bool optional = false;
  Check check;
};

bool Matches(const Member& m, const El& e) {
  if (m.tags.empty()) return true;
  for (std::uint8_t t : m.tags)
    if (t == e.tag) return true;
  return false;
}

// Members of a SEQUENCE (or of an IMPLICIT-tagged SEQUENCE) in order.
bool MembersMatch(const Bytes& contents, const std::vector<Member>& members) {
  auto kids = Children(contents);
  if (!kids) return false;
  std::size_t i = 0;
  for (const Member& m : members) {
    if (i < kids->size() && Matches(m, (*kids)[i])) {
      if (m.check && !m.check((*kids)[i])) return false;
      ++i;
    } else if (!m.optional) {
      return false;
    }
  }
  return i == kids->size();
}

Check Seq(std::vector<Member> members) {
  return [members](const El& e) { return (e.tag & 0x20) && MembersMatch(e.contents, members); };
}

// A primitive whose contents satisfy a size rule.
Check Integer() {
  return [](const El& e) { return !e.contents.empty() && e.contents.size() <= 4; };
}
Check Boolean() { return [](const El& e) { return e.contents.size() == 1; }; }
Check Bits() { return [](const El& e) { return !e.contents.empty() && e.contents[0] < 8; }; }
Check Any() { return [](const El&) { return true; }; }
// [n] EXPLICIT ANY: exactly one complete element inside.
Check ExplicitOne() {
  return [](const El& e) {
    auto k = Children(e.contents);
    return (e.tag & 0x20) && k && k->size() == 1;
  };
}
Check ExplicitOf(Check inner) {
  return [inner](const El& e) {
    auto k = Children(e.contents);
    return (e.tag & 0x20) && k && k->size() == 1 && inner((*k)[0]);
  };
}

const std::vector<Member> kPath = {
    {{0x04}, false, nullptr}, {{0x02}, true, Integer()}, {{0x80}, true, Integer()}};
const std::vector<Member> kCommonObject = {
    {{0x0C, 0x14}, true, nullptr}, {{0x03}, true, Bits()}, {{0x04}, true, nullptr}};
const std::vector<Member> kCommonKey = {
    {{0x04}, false, nullptr}, {{0x03}, false, Bits()},      {{0x01}, false, Boolean()},
    {{0x03}, true, Bits()},   {{0x02}, false, Integer()},   {{0x18}, true, nullptr},
    {{0xA0}, true, ExplicitOne()}};
const std::vector<Member> kRsaKeyAttrs = {{{0x30}, false, Seq(kPath)}, {{0x02}, false, Integer()}};
const std::vector<Member> kX509 = {{{0x30}, false, Seq(kPath)},
                                   {{}, false, Any()},
                                   {{0xA0}, false, ExplicitOne()},
                                   {{0x02}, false, nullptr}};
const std::vector<Member> kX509Halvo = {{{0x30}, false, Seq(kPath)},
                                        {{0xA0}, false, ExplicitOne()},
                                        {{0xA1}, false, ExplicitOne()},
                                        {{0x02}, false, nullptr}};
const std::vector<Member> kCommonData = {{{0x0C, 0x14}, true, nullptr}, {{0x06}, true, nullptr}};

Check ImplicitSeq(std::vector<Member> members) { return Seq(std::move(members)); }

std::vector<Member> EntryMembers(EntryType t) {
  Member common{{0x30}, false, Seq(kCommonObject)};
  Member key{{0x30}, false, Seq(kCommonKey)};
  Member sub{{0xA0}, true, ExplicitOne()};
  switch (t) {
    case EntryType::PrivateKey:
    case EntryType::PublicKey:
      return {common, key, sub, {{0xA1}, false, ExplicitOf(Seq(kRsaKeyAttrs))}};
    case EntryType::PrivateKeyHalvo:
    case EntryType::PublicKeyHalvo:
      return {common, key, sub, {{0xA1}, false, ImplicitSeq(kRsaKeyAttrs)}};
    case EntryType::Certificate:
      return {common, {{0x30}, false, Seq({{{0x04}, false, nullptr}})},
              {{0xA1}, false, ExplicitOf(Seq(kX509))}};
    case EntryType::CertificateHalvo:
      return {common, {{0x30}, false, Seq({{{0x04}, false, nullptr}})},
              {{0xA1}, false, ImplicitSeq(kX509Halvo)}};
    case EntryType::DataObject:
      return {common, {{0x30}, false, Seq(kCommonData)}, sub,
              {{0xA1}, false, ExplicitOf(Seq(kPath))}};
    case EntryType::TokenInfo:
      return {{{0x02}, false, Integer()}, {{0x04}, false, nullptr}, {{0x0C}, false, nullptr},
              {{0x80}, false, nullptr},   {{0x03}, false, Bits()}};
    case EntryType::TokenInfoT61:
      return {{{0x02}, false, Integer()}, {{0x04}, false, nullptr}, {{0x14}, false, nullptr},
              {{0x14}, false, nullptr},   {{0x03}, false, Bits()}};
    case EntryType::UnusedSpace:
      return {{{0x30}, false, Seq(kPath)}, {{}, true, Any()}};
  }
  return {};
}

std::optional<El> Whole(const Bytes& element) {
  std::size_t pos = 0;
  auto e = ReadEl(element, pos);
  if (!e || pos != element.size() || e->tag != 0x30) return std::nullopt;
  return e;
}

}  // namespace

bool Decodes(const Bytes& element, EntryType type) {
  auto e = Whole(element);
  return e && MembersMatch(e->contents, EntryMembers(type));
}

std::optional<std::vector<Bytes>> SplitFile(const Bytes& file) {
  std::vector<Bytes> out;
  std::size_t pos = 0;
  while (pos < file.size() && file[pos] == 0x30) {
    auto e = ReadEl(file, pos);
    if (!e) return std::nullopt;
    out.push_back(e->whole);
  }
  for (; pos < file.size(); ++pos)
    if (file[pos] != 0x00) return std::nullopt;
  return out;
}

Bytes TextToBinary(const Bytes& text) {
  Bytes out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == '\\') ++i;
    unsigned long v = 0;
    bool any = false;
    while (i < text.size() && std::isxdigit(text[i])) {
      v = v * 16 + static_cast<unsigned long>(std::isdigit(text[i]) ? text[i] - '0'
                                                                    : (std::toupper(text[i]) - 'A' + 10));
      ++i;
      any = true;
    }
    if (!any || v == 0) break;
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

std::optional<EntryPath> PathOf(const Bytes& element, EntryType type) {
  if (!Decodes(element, type)) return std::nullopt;
  auto e = Whole(element);
  auto kids = Children(e->contents);
  const El* path = nullptr;
  std::optional<std::vector<El>> inner, deeper;
  if (type == EntryType::UnusedSpace) {
    path = &(*kids)[0];
  } else {
    const El& typeAttrs = kids->back();
    inner = Children(typeAttrs.contents);
    bool implicit = type == EntryType::PrivateKeyHalvo || type == EntryType::PublicKeyHalvo ||
                    type == EntryType::CertificateHalvo;
    if (implicit) {
      path = &(*inner)[0];
    } else if (type == EntryType::DataObject) {
      path = &(*inner)[0];
    } else {
      deeper = Children((*inner)[0].contents);
      path = &(*deeper)[0];
    }
  }
  auto members = Children(path->contents);
  EntryPath out;
  out.stored = (*members)[0].contents;
  out.binary = out.stored.size() <= 4 ? out.stored : TextToBinary(out.stored);
  auto value = [](const Bytes& c) {
    std::uint32_t v = 0;
    for (std::uint8_t b : c) v = v << 8 | b;
    return v;
  };
  for (std::size_t i = 1; i < members->size(); ++i) {
    if ((*members)[i].tag == 0x02) out.index = value((*members)[i].contents);
    if ((*members)[i].tag == 0x80) out.length = value((*members)[i].contents);
  }
  return out;
}

std::optional<EntryFacts> FactsOf(const Bytes& element, EntryType type) {
  if (!Decodes(element, type)) return std::nullopt;
  auto value = [](const Bytes& c) {
    std::uint32_t v = 0;
    for (std::uint8_t b : c) v = v << 8 | b;
    return v;
  };
  auto e = Whole(element);
  auto kids = Children(e->contents);
  EntryFacts f;
  auto common = Children((*kids)[0].contents);
  for (const El& m : *common) {
    if (m.tag == 0x0C || m.tag == 0x14) f.label = m.contents;
    if (m.tag == 0x03) f.isPrivate = m.contents.size() > 1 && (m.contents[1] & 0x80);
  }
  auto cls = Children((*kids)[1].contents);
  bool isKey = type == EntryType::PrivateKey || type == EntryType::PrivateKeyHalvo ||
               type == EntryType::PublicKey || type == EntryType::PublicKeyHalvo;
  if (isKey || type == EntryType::Certificate || type == EntryType::CertificateHalvo)
    f.id = (*cls)[0].contents;
  if (isKey) {
    for (const El& m : *cls)
      if (m.tag == 0x02) f.keyReference = static_cast<int>(value(m.contents));
    auto inner = Children(kids->back().contents);
    bool implicit = type == EntryType::PrivateKeyHalvo || type == EntryType::PublicKeyHalvo;
    Bytes attrs = implicit ? kids->back().contents : (*inner)[0].contents;
    std::size_t pos = 0;
    for (int i = 0; i < 2; ++i) {
      auto m = ReadEl(attrs, pos);
      if (!m) return std::nullopt;
      if (i == 1) f.modulusBits = value(m->contents);
    }
  }
  return f;
}

}  // namespace zorbix::sim::test
