// Build tool: turns the translators' catalogues (res/po) into the string
// table's C++ source. The template's msgids are the English (US) texts; each
// PO file gives one language. Every entry must be translated in every
// language, with the same tabs and line feeds in the same order, or the
// build stops with the entries at fault.
//
//   po_table OUT.cpp TEMPLATE.pot LANGID=FILE.po ...
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::string context;
  std::string id;
  std::string str;
  bool fuzzy = false;
  int line = 0;
};

bool Unquote(const std::string& text, std::size_t from, std::string* out, std::string* error) {
  const std::size_t open = text.find('"', from);
  const std::size_t close = text.rfind('"');
  if (open == std::string::npos || close == open) {
    *error = "expected a quoted string";
    return false;
  }
  for (std::size_t i = open + 1; i < close; ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < close) {
      switch (text[++i]) {
        case 'n': c = '\n'; break;
        case 't': c = '\t'; break;
        case '"': c = '"'; break;
        case '\\': c = '\\'; break;
        default: *error = "unknown escape"; return false;
      }
    } else if (c == '"') {
      *error = "unescaped quote";
      return false;
    }
    out->push_back(c);
  }
  return true;
}

bool ReadPo(const std::string& path, std::vector<Entry>* entries) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << path << ": cannot be read\n";
    return false;
  }
  Entry current;
  std::string* target = nullptr;
  bool fuzzyNext = false;
  bool started = false;
  auto flush = [&] {
    if (started && !current.id.empty()) entries->push_back(current);
    current = Entry{};
    started = false;
  };
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string error;
    if (line.empty()) {
      target = nullptr;
      continue;
    }
    if (line.rfind("#,", 0) == 0) {
      fuzzyNext = line.find("fuzzy") != std::string::npos;
      continue;
    }
    if (line[0] == '#') continue;
    const auto keyword = [&](const char* word) {
      const std::string w = std::string(word) + " ";
      return line.rfind(w, 0) == 0;
    };
    const auto begin = [&] {
      flush();
      started = true;
      current.line = number;
      current.fuzzy = fuzzyNext;
      fuzzyNext = false;
    };
    if (keyword("msgctxt")) {
      begin();
      target = &current.context;
    } else if (keyword("msgid")) {
      // A msgid after its msgctxt belongs to the same entry.
      if (!started || !current.id.empty() || !current.str.empty()) begin();
      target = &current.id;
    } else if (keyword("msgstr")) {
      target = &current.str;
    } else if (line[0] == '"') {
      // continuation of the keyword above
    } else {
      std::cerr << path << ":" << number << ": not understood\n";
      return false;
    }
    if (target == nullptr) {
      std::cerr << path << ":" << number << ": text outside an entry\n";
      return false;
    }
    const std::size_t from = line[0] == '"' ? 0 : line.find(' ');
    if (!Unquote(line, from, target, &error)) {
      std::cerr << path << ":" << number << ": " << error << "\n";
      return false;
    }
  }
  flush();
  return true;
}

// The entry's string id (its msgctxt); -1, reported, when it has none.
int StringId(const std::string& path, const Entry& e) {
  char* end = nullptr;
  const long id = std::strtol(e.context.c_str(), &end, 10);
  if (e.context.empty() || *end != '\0' || id < 0 || id > 65535) {
    std::cerr << path << ":" << e.line << ": msgctxt must be a string id\n";
    return -1;
  }
  return static_cast<int>(id);
}

// The tabs and line feeds of a text, in order.
std::string Layout(const std::string& text) {
  std::string layout;
  for (char c : text)
    if (c == '\t' || c == '\n') layout += c;
  return layout;
}

std::string CString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\%03o", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: po_table OUT.cpp TEMPLATE.pot LANGID=FILE.po ...\n";
    return 2;
  }
  std::vector<Entry> reference;
  if (!ReadPo(argv[2], &reference)) return 1;
  std::map<int, std::string> english;
  bool ok = true;
  for (const Entry& e : reference) {
    const int id = StringId(argv[2], e);
    if (id < 0) {
      ok = false;
      continue;
    }
    if (!english.emplace(id, e.id).second) {
      std::cerr << argv[2] << ":" << e.line << ": string id " << id << " twice\n";
      ok = false;
    }
  }

  std::ostringstream tables;
  std::vector<std::pair<std::string, std::string>> languages = {{"1033", "kEnglishUSTable"}};
  tables << "constexpr StringEntry kEnglishUSTable[] = {\n";
  for (const auto& [id, text] : english) tables << "    {" << id << ", " << CString(text) << "},\n";
  tables << "};\n\n";

  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (eq == std::string::npos) {
      std::cerr << "bad argument " << arg << "\n";
      return 2;
    }
    const std::string lang = arg.substr(0, eq);
    const std::string path = arg.substr(eq + 1);
    std::vector<Entry> entries;
    if (!ReadPo(path, &entries)) return 1;
    std::map<int, std::string> texts;
    for (const Entry& e : entries) {
      const int id = StringId(path, e);
      if (id < 0) {
        ok = false;
        continue;
      }
      const auto ref = english.find(id);
      if (ref == english.end()) {
        std::cerr << path << ":" << e.line << ": string id " << id << " is not in the template\n";
        ok = false;
      } else if (e.fuzzy || e.str.empty()) {
        std::cerr << path << ":" << e.line << ": string id " << id << " is not translated\n";
        ok = false;
      } else if (e.id != ref->second) {
        std::cerr << path << ":" << e.line << ": string id " << id
                  << " translates an older English text\n";
        ok = false;
      } else if (Layout(e.str) != Layout(e.id)) {
        std::cerr << path << ":" << e.line << ": string id " << id
                  << " must keep the tabs and line feeds of the English text\n";
        ok = false;
      } else if (!texts.emplace(id, e.str).second) {
        std::cerr << path << ":" << e.line << ": string id " << id << " twice\n";
        ok = false;
      }
    }
    for (const auto& [id, text] : english) {
      if (!texts.count(id)) {
        std::cerr << path << ": string id " << id << " is missing\n";
        ok = false;
      }
    }
    const std::string name = "kTable" + lang;
    languages.emplace_back(lang, name);
    tables << "constexpr StringEntry " << name << "[] = {\n";
    for (const auto& [id, text] : texts) tables << "    {" << id << ", " << CString(text) << "},\n";
    tables << "};\n\n";
  }
  if (!ok) return 1;

  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << "// Generated by res/tools/po_table from res/po; edit the catalogues instead.\n"
         "#include \"res/string_table.h\"\n\n"
         "namespace zorbix::res {\nnamespace {\n\n"
      << tables.str() << "}  // namespace\n\n"
      << "std::span<const StringEntry> TableOf(Language lang) {\n  switch (static_cast<int>(lang)) {\n";
  for (const auto& [lang, name] : languages) out << "    case " << lang << ": return " << name << ";\n";
  out << "  }\n  return {};\n}\n\n}  // namespace zorbix::res\n";
  return out ? 0 : 1;
}
