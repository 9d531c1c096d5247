#include "progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qzi_progress {

namespace {

const int kMaxCells = 30, kMinCells = 10;

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The first `n` bytes of `s`, shortened to a character boundary.
size_t head_end(const std::string& s, size_t n) {
  while (n > 0 && n < s.size() && continuation(static_cast<unsigned char>(s[n]))) --n;
  return n;
}

// Where the last `n` bytes of `s` start, moved to a character boundary.
size_t tail_start(const std::string& s, size_t n) {
  size_t at = s.size() - n;
  while (at < s.size() && continuation(static_cast<unsigned char>(s[at]))) ++at;
  return at;
}

}  // namespace

int terminal_columns(int fd) {
  struct winsize ws {};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char* env = std::getenv("COLUMNS");
  if (env) {
    char* end = nullptr;
    const long n = std::strtol(env, &end, 10);
    if (*env && !*end && n > 0 && n < 100000) return static_cast<int>(n);
  }
  return 80;
}

std::string line(const std::string& name, unsigned percent, int columns) {
  if (percent > 100) percent = 100;
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3u%%", percent);
  const int room = columns - 1;  // the last column stays free
  const int fixed = 2 + 2 + 4;   // " [", "] ", "100%"
  const int least_name = name.size() < 5 ? static_cast<int>(name.size()) : 5;  // "ab...z"
  if (room < fixed + least_name + 1) return pct;
  int cells = room - fixed - static_cast<int>(name.size());
  cells = cells > kMaxCells ? kMaxCells : cells < kMinCells ? kMinCells : cells;
  if (room - fixed - cells < least_name) cells = room - fixed - least_name;
  std::string shown = name;
  const int for_name = room - fixed - cells;
  if (static_cast<int>(name.size()) > for_name) {
    // Both ends say most: the folder's start and the file's own name.
    const size_t keep = for_name > 3 ? static_cast<size_t>(for_name - 3) : 0;
    const size_t front = head_end(name, keep / 2);
    const size_t back = tail_start(name, keep - keep / 2);
    shown = name.substr(0, front) + "..." + name.substr(back);
  }
  const int filled = static_cast<int>(percent) * cells / 100;
  return shown + " [" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(cells - filled), '.') +
         "] " + pct;
}

}  // namespace qzi_progress
