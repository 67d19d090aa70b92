// sys.cpp -- small system services of the utility library: environment,
// file deletion, shell commands, command-line joining and time stamps.
#include "util/util.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "util_int.h"

namespace {

void format_time(const std::tm& tm, const char* fmt, char* buf, int size) {
  if (buf == nullptr || size < 1) return;
  if (std::strftime(buf, static_cast<std::size_t>(size), fmt, &tm) == 0) buf[0] = '\0';
}

std::tm utc_now() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  return tm;
}

}  // namespace

void sys_getenv(const char* name, char* buf, int size) {
  if (buf == nullptr || size < 1) return;
  const char* v = name ? std::getenv(name) : nullptr;
  util_int::copy_bounded(v ? v : "", buf, static_cast<std::size_t>(size));
}

int sys_delete(const char* path) {
  std::string p = util_int::trimmed(path);
  if (p.empty()) return -1;
  return ::unlink(p.c_str()) == 0 ? 0 : -1;
}

void sys_wait(int seconds) {
  if (seconds > 0) ::sleep(static_cast<unsigned>(seconds));
}

int sys(const char* command) {
  if (command == nullptr) return -1;
  // Output already written through the channels must come before the command's.
  std::fflush(stdout);
  std::fflush(stderr);
  return std::system(command);
}

// A bare "cat" would wait on standard input: without a name nothing is run.
int sys_type(const char* path) {
  std::string p = util_int::trimmed(path);
  if (p.empty()) return -1;
  std::string cmd = "cat " + p;
  return sys(cmd.c_str());
}

// room is the size of buf in bytes; the joined text is cut to fit with its terminator.
void sys_cmdline(char** args, int count, char* buf, int room) {
  if (buf == nullptr || room < 1) return;
  std::string line;
  for (int k = 1; k < count; ++k) line += util_int::trimmed(args[k]) + " ";
  util_int::copy_bounded(line, buf, static_cast<std::size_t>(room));
}

void date_and_time(char* date, char* time, char* zone) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  format_time(tm, "%Y%m%d", date, 31);
  format_time(tm, "%H%M%S.000", time, 31);
  format_time(tm, "%z", zone, 31);
}

void sys_today(char* buf, int size) { format_time(utc_now(), "%Y %b %d %H:%M:%S", buf, size); }
void sys_time(char* buf, int size) { format_time(utc_now(), "%H:%M:%S", buf, size); }
void sys_date(char* buf, int size) { format_time(utc_now(), "%d/%m/%y", buf, size); }

double sys_stamp(void) {
  std::tm tm = utc_now();
  double day = tm.tm_mday + 100.0 * tm.tm_mon + 10000.0 * tm.tm_year;
  double clock = tm.tm_sec + 100.0 * tm.tm_min + 10000.0 * tm.tm_hour;
  return day + clock / 1e6;
}

void rirade_id(char* buf, int size, const char* text) {
  if (buf == nullptr || size < 1) return;
  char today[64];
  sys_today(today, sizeof today);
  std::snprintf(buf, static_cast<std::size_t>(size), "%s (%s)", today, text ? text : "");
}
