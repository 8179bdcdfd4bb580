// File-version calls over the ELF version note of our binaries.
#include "platform/version.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <vector>

namespace zorbix::platform {
namespace {

constexpr std::uint32_t kShtNote = 7;
constexpr std::uint32_t kPtNote = 4;
// Note segments and sections are small; refuse anything absurd.
constexpr std::uint64_t kMaxNoteArea = 1u << 20;
constexpr std::uint64_t kMaxHeaders = 4096;

// The block handed out by GetFileVersionInfo: a small header, then the
// note's descriptor (the fixed record when the note is well formed).
struct BlockHeader {
  std::uint32_t magic;
  std::uint32_t recordLength;
};
constexpr std::uint32_t kBlockMagic = 0x315A5656u;  // "VVZ1"

class FileReader {
 public:
  explicit FileReader(const std::string& path)
      : in_(path, std::ios::binary) {
    if (in_) {
      in_.seekg(0, std::ios::end);
      const auto end = in_.tellg();
      size_ = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    }
  }
  bool ok() const { return static_cast<bool>(in_); }

  bool Read(std::uint64_t offset, void* out, std::uint64_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    return static_cast<std::uint64_t>(in_.gcount()) == count;
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
};

std::uint64_t Le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// One area of notes (a SHT_NOTE section or a PT_NOTE segment).
struct NoteArea {
  std::uint64_t offset;
  std::uint64_t size;
  std::uint64_t align;
};

std::optional<std::vector<std::uint8_t>> FindInArea(FileReader& file,
                                                    const NoteArea& area) {
  if (area.size == 0 || area.size > kMaxNoteArea) return std::nullopt;
  std::vector<std::uint8_t> data(area.size);
  if (!file.Read(area.offset, data.data(), data.size())) return std::nullopt;
  const std::uint64_t align = area.align == 8 ? 8 : 4;
  auto pad = [align](std::uint64_t n) { return (n + align - 1) & ~(align - 1); };
  std::uint64_t pos = 0;
  while (data.size() - pos >= 12) {
    const std::uint64_t nameSize = Le(&data[pos], 4);
    const std::uint64_t descSize = Le(&data[pos + 4], 4);
    const std::uint64_t type = Le(&data[pos + 8], 4);
    const std::uint64_t nameAt = pos + 12;
    if (pad(nameSize) > data.size() - nameAt) break;
    const std::uint64_t descAt = nameAt + pad(nameSize);
    if (descSize > data.size() - descAt) break;
    const std::size_t ownerLen = sizeof(kVersionNoteOwner);  // with the NUL
    if (type == kVersionNoteType && nameSize == ownerLen &&
        std::memcmp(&data[nameAt], kVersionNoteOwner, ownerLen) == 0) {
      return std::vector<std::uint8_t>(data.begin() + descAt,
                                       data.begin() + descAt + descSize);
    }
    if (pad(descSize) > data.size() - descAt) break;
    pos = descAt + pad(descSize);
  }
  return std::nullopt;
}

// The descriptor of our version note in an ELF file (32 or 64 bits, little
// endian): from the section headers, else from the program headers.
std::optional<std::vector<std::uint8_t>> ReadVersionNote(
    const std::string& path) {
  FileReader file(path);
  if (!file.ok()) return std::nullopt;
  std::uint8_t ident[64] = {};
  if (!file.Read(0, ident, 52)) return std::nullopt;
  if (std::memcmp(ident, "\x7f" "ELF", 4) != 0 || ident[5] != 1)
    return std::nullopt;
  const bool is64 = ident[4] == 2;
  if (!is64 && ident[4] != 1) return std::nullopt;
  if (is64 && !file.Read(0, ident, 64)) return std::nullopt;
  const int w = is64 ? 8 : 4;  // width of addresses and offsets

  const std::uint64_t phoff = Le(&ident[is64 ? 32 : 28], w);
  const std::uint64_t shoff = Le(&ident[is64 ? 40 : 32], w);
  const std::uint64_t phentsize = Le(&ident[is64 ? 54 : 42], 2);
  const std::uint64_t phnum = Le(&ident[is64 ? 56 : 44], 2);
  const std::uint64_t shentsize = Le(&ident[is64 ? 58 : 46], 2);
  const std::uint64_t shnum = Le(&ident[is64 ? 60 : 48], 2);

  const std::uint64_t shNeed = is64 ? 64 : 40;
  if (shoff != 0 && shnum != 0 && shnum <= kMaxHeaders &&
      shentsize >= shNeed) {
    std::uint8_t sh[64];
    for (std::uint64_t i = 0; i < shnum; ++i) {
      if (!file.Read(shoff + i * shentsize, sh, shNeed)) break;
      if (Le(&sh[4], 4) != kShtNote) continue;
      const NoteArea area{Le(&sh[is64 ? 24 : 16], w),
                          Le(&sh[is64 ? 32 : 20], w),
                          Le(&sh[is64 ? 48 : 32], w)};
      if (auto found = FindInArea(file, area)) return found;
    }
  }
  const std::uint64_t phNeed = is64 ? 56 : 32;
  if (phoff != 0 && phnum != 0 && phnum <= kMaxHeaders &&
      phentsize >= phNeed) {
    std::uint8_t ph[56];
    for (std::uint64_t i = 0; i < phnum; ++i) {
      if (!file.Read(phoff + i * phentsize, ph, phNeed)) break;
      if (Le(&ph[0], 4) != kPtNote) continue;
      const NoteArea area = is64 ? NoteArea{Le(&ph[8], 8), Le(&ph[32], 8),
                                            Le(&ph[48], 8)}
                                 : NoteArea{Le(&ph[4], 4), Le(&ph[16], 4),
                                            Le(&ph[28], 4)};
      if (auto found = FindInArea(file, area)) return found;
    }
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t GetFileVersionInfoSize(const std::string& path) {
  const auto note = ReadVersionNote(path);
  if (!note) return 0;
  return static_cast<std::uint32_t>(sizeof(BlockHeader) + note->size());
}

bool GetFileVersionInfo(const std::string& path, std::uint32_t size,
                        void* block) {
  if (block == nullptr) return false;
  const auto note = ReadVersionNote(path);
  if (!note || size < sizeof(BlockHeader) + note->size()) return false;
  const BlockHeader header{kBlockMagic,
                           static_cast<std::uint32_t>(note->size())};
  auto* out = static_cast<std::uint8_t*>(block);
  std::memcpy(out, &header, sizeof header);
  if (!note->empty())
    std::memcpy(out + sizeof header, note->data(), note->size());
  return true;
}

bool VerQueryValue(const void* block, const char* subBlock, const void** out,
                   std::uint32_t* len) {
  if (block == nullptr || subBlock == nullptr || out == nullptr ||
      len == nullptr)
    return false;
  if (std::strcmp(subBlock, "\\") != 0) return false;
  BlockHeader header;
  std::memcpy(&header, block, sizeof header);
  if (header.magic != kBlockMagic || header.recordLength < 4) return false;
  const auto* record = static_cast<const std::uint8_t*>(block) + sizeof header;
  if (Le(record, 4) != kFixedFileInfoSignature) return false;
  *out = record;
  *len = header.recordLength;
  return true;
}

std::string ProgramFilePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    if (buffer.size() > 65536) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ModuleFilePath(const void* addressInModule) {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(addressInModule, &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0)
    return {};
  // The main program's link map has an empty name.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0')
    return ProgramFilePath();
  if (map->l_name[0] == '/') return map->l_name;
  char* resolved = realpath(map->l_name, nullptr);
  if (resolved == nullptr) return map->l_name;
  std::string path(resolved);
  free(resolved);
  return path;
}

}  // namespace zorbix::platform
