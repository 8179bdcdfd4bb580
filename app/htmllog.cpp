// HTML report log: open-append-flush-close writes and the shared markup.
#include "app/htmllog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/version.h"
#include "res/strings.h"

namespace zorbix::app {
namespace {

// Path the writes go to; set by LogCreate.
std::string& LogFileName() {
  static std::string name = kLogFileName;
  return name;
}

// Opens the log for writing, never through a symbolic link (whose target
// would be written or truncated) and never anything but a regular file (a
// FIFO would block the run). Null when it cannot be opened.
std::FILE* OpenLog(const char* name, bool truncate) {
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (truncate && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "ab");
  if (file == nullptr) ::close(fd);
  return file;
}

// Appends `text` and closes the file again; false when it cannot be opened.
bool Append(std::string_view text) {
  std::FILE* file = OpenLog(LogFileName().c_str(), false);
  if (file == nullptr) return false;
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
  std::fclose(file);
  return true;
}

std::string Format(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  return text;
}

}  // namespace

std::string HtmlEscape(std::string_view outside) {
  std::string out;
  out.reserve(outside.size());
  for (const char c : outside) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

int LogCreate(const char* fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return -1;
  LogFileName() = fileName;
  std::FILE* file = OpenLog(fileName, true);
  if (file == nullptr) return -2;
  std::fclose(file);
  return 0;
}

int LogWrite(std::string_view text, bool raw) {
  if (raw) return Append(text) ? 0 : -3;
  std::string wrapped;
  wrapped.reserve(text.size() + sizeof kLogWrapOpen + sizeof kLogWrapClose);
  wrapped.append(kLogWrapOpen).append(text).append(kLogWrapClose);
  return Append(wrapped) ? 0 : -3;
}

int LogWriteOutside(std::string_view text, bool raw) {
  return LogWrite(HtmlEscape(text), raw);
}

int LogPrintf(const char* format, ...) {
  if (format == nullptr) return 0;
  std::va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  return Append(text) ? 0 : 5;
}

int LogAsciiLine(std::string_view prefix, const std::uint8_t* bytes,
                 std::size_t count) {
  std::string line(prefix);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = bytes[i];
    if (b < 33 || b > 126)
      line += '.';
    else if (b == '<')
      line += "&lt";  // no semicolon: the character column's own rule
    else
      line += static_cast<char>(b);
  }
  line += '\n';
  Append(line);
  return 0;
}

int LogHexDump(const std::uint8_t* bytes, std::size_t count, bool frame) {
  if (bytes == nullptr) count = 0;
  if (frame) LogWrite("<PRE>\n", true);
  constexpr std::size_t kRow = 16;
  std::size_t offset = 0;
  for (; count - offset >= kRow; offset += kRow) {
    std::string line = Printf("\t %03zx - ", offset);
    for (std::size_t i = 0; i < kRow; ++i)
      line += Printf("%02x ", bytes[offset + i]);
    line += '\t';
    LogPrintf("%s", line.c_str());
    LogAsciiLine({}, bytes + offset, kRow);
  }
  // The last row: what is left (maybe nothing), padded to 16 positions
  // unless the block filled its rows exactly.
  const std::size_t left = count - offset;
  std::string line;
  if (left > 0) {
    line = Printf("\t %03zx - ", offset);
    for (std::size_t i = 0; i < left; ++i)
      line += Printf("%02x ", bytes[offset + i]);
  }
  const std::size_t empty = (count > 0 && left == 0) ? 0 : kRow - left;
  line.append(3 * empty, ' ');
  line += '\t';
  LogPrintf("%s", line.c_str());
  LogAsciiLine({}, left > 0 ? bytes + offset : nullptr, left);
  if (frame) LogWrite("</PRE>", true);
  return 0;
}

void LogAppHeader() {
  char date[16] = {};
  char time[16] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(date, sizeof date, "%m/%d/%y", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
  }

  constexpr std::size_t kMaxPath = 128;
  std::string path = platform::ProgramFilePath();
  if (path.size() > kMaxPath) path.resize(kMaxPath);

  const std::uint32_t size = platform::GetFileVersionInfoSize(path);
  if (size == 0) {
    LogWrite("ERROR", false);
  } else {
    // The path is the file system's, not ours: it may hold markup.
    LogWrite("App. Name: \t\t" + HtmlEscape(path) + ".", false);
    std::vector<std::uint8_t> block(size, 0);
    if (!platform::GetFileVersionInfo(path, size, block.data()))
      LogWrite("ERROR", false);
    const void* record = nullptr;
    std::uint32_t length = 0;
    if (!platform::VerQueryValue(block.data(), "\\", &record, &length) ||
        record == nullptr || length != sizeof(platform::FixedFileInfo)) {
      LogWrite("ERROR", false);
    } else {
      platform::FixedFileInfo info;
      std::memcpy(&info, record, sizeof info);
      LogWrite(Printf("App. Version: \tv %02d.%02d.%02d.%02d\n",
                      static_cast<int>(info.fileVersionMS >> 16),
                      static_cast<int>(info.fileVersionMS & 0xFFFF),
                      static_cast<int>(info.fileVersionLS >> 16),
                      static_cast<int>(info.fileVersionLS & 0xFFFF)),
               false);
    }
  }
  LogWrite(Printf("Date Info:   \t%s - %s.", date, time), false);
}

void LogHeader() {
  LogWrite(kLogSectionFrameOpen, true);
  LogWrite("<BR><H1>", true);
  LogWrite(res::Text(142), false);
  LogWrite("</H1><H2>", true);
  LogWrite(res::Text(143), false);
  LogWrite("</H2><H3>", true);
  LogAppHeader();
  LogWrite("<H3></TD></TR></TABLE><BR><BR>", true);
}

void LogDashedRule() { LogWrite(kLogDashedRule, false); }

void LogSectionStart(std::string_view heading, std::string_view titleText) {
  LogDashedRule();
  LogWrite(kLogSectionFrameOpen, true);
  LogWrite(heading, true);
  LogWrite(titleText, false);
  LogWrite(kLogSectionFrameClose, true);
}

void LogTrailer() {
  LogWrite(kLogTrailerOpen, true);
  LogWrite(res::Text(144), true);
  LogWrite(kLogTrailerClose, true);
  LogDashedRule();
}

}  // namespace zorbix::app
