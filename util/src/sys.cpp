// sys.cpp -- small system services of the utility library: environment,
// file deletion, files of one's own, shell commands, command-line joining and
// time stamps.
#include "util/util.h"

#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
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

// --- files of one's own ---

constexpr std::size_t kOwnNameMax = 4096;  // folder and file name, terminator included
constexpr int kOwnTries = 100;             // folder names tried before giving up
constexpr int kOwnSlots = 4;               // files of one's own at one time
constexpr int kOwnSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

void random_letters(char* out, std::size_t n) {
  unsigned char bytes[64];
  if (n > sizeof bytes) n = sizeof bytes;
  if (::getrandom(bytes, n, 0) != static_cast<ssize_t>(n)) {
    // No entropy source: the clock and the process id still vary the name, and
    // mkdir refuses any name already taken.
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    unsigned long mix = static_cast<unsigned long>(ts.tv_nsec) ^
                        (static_cast<unsigned long>(::getpid()) << 20) ^
                        static_cast<unsigned long>(ts.tv_sec);
    for (std::size_t k = 0; k < n; ++k) {
      mix = mix * 6364136223846793005UL + 1442695040888963407UL;
      bytes[k] = static_cast<unsigned char>(mix >> 56);
    }
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = kLetters[bytes[k] % (sizeof kLetters - 1)];
}

// The names of sys_own_file not yet committed or removed, for the signal handler.
struct OwnSlot {
  char name[kOwnNameMax] = "";
  volatile std::sig_atomic_t live = 0;
};
OwnSlot g_own[kOwnSlots];
bool g_own_catching = false;  // sys_own_file_catch_signals installed the handlers
struct sigaction g_own_saved[std::size(kOwnSignals)];

// Removes the file and its folder; only calls that are safe in a signal handler.
void remove_own(const char* name) {
  char folder[kOwnNameMax];
  std::size_t cut = 0;
  for (std::size_t k = 0; k + 1 < sizeof folder && name[k] != '\0'; ++k) {
    folder[k] = name[k];
    if (name[k] == '/') cut = k;
  }
  folder[cut] = '\0';
  ::unlink(name);
  if (cut > 0) ::rmdir(folder);
}

extern "C" void remove_own_and_reraise(int sig) {
  for (OwnSlot& slot : g_own) {
    if (slot.live != 0) remove_own(slot.name);
    slot.live = 0;
  }
  for (std::size_t k = 0; k < std::size(kOwnSignals); ++k) {
    if (kOwnSignals[k] == sig) ::sigaction(sig, &g_own_saved[k], nullptr);
  }
  std::raise(sig);
}

bool hold_own(const char* name) {
  for (OwnSlot& slot : g_own) {
    if (slot.live != 0) continue;
    std::memcpy(slot.name, name, std::strlen(name) + 1);
    slot.live = 1;
    return true;
  }
  return false;
}

void release_own(const char* name) {
  for (OwnSlot& slot : g_own) {
    if (slot.live == 0 || std::strcmp(slot.name, name) != 0) continue;
    slot.live = 0;
    return;
  }
}

}  // namespace

util_int::OwnLetters util_int::own_letters = random_letters;

void sys_own_file_catch_signals(void) {
  if (g_own_catching) return;
  g_own_catching = true;
  struct sigaction action {};
  action.sa_handler = remove_own_and_reraise;
  sigemptyset(&action.sa_mask);
  for (std::size_t k = 0; k < std::size(kOwnSignals); ++k) {
    ::sigaction(kOwnSignals[k], &action, &g_own_saved[k]);
  }
}

int sys_own_file(const char* path, char* name, int room) {
  if (path == nullptr || name == nullptr || room < 1) {
    errno = EINVAL;
    return -1;
  }
  const std::string target(path);
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    errno = EINVAL;
    return -1;
  }
  std::string folder =
      target.substr(0, slash == std::string::npos ? 0 : slash + 1) + "." + base + ".XXXXXX";
  const std::string file_tail = "/" + base;
  if (folder.size() + file_tail.size() >= std::min<std::size_t>(kOwnNameMax, room)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char* const letters = folder.data() + folder.size() - 6;
  // The signals that remove the folder wait until it is on the list to remove.
  sigset_t caught;
  sigset_t before;
  sigemptyset(&caught);
  for (int sig : kOwnSignals) sigaddset(&caught, sig);
  ::sigprocmask(SIG_BLOCK, &caught, &before);
  int result = -1;
  int err = EEXIST;
  for (int attempt = 0; attempt < kOwnTries; ++attempt) {
    util_int::own_letters(letters, 6);
    if (::mkdir(folder.c_str(), 0700) == 0) {
      const std::string made = folder + file_tail;
      if (hold_own(made.c_str())) {
        std::memcpy(name, made.c_str(), made.size() + 1);
        result = 0;
      } else {
        ::rmdir(folder.c_str());
        err = EMFILE;
      }
      break;
    }
    err = errno;
    if (err != EEXIST) break;
  }
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  if (result != 0) errno = err;
  return result;
}

int sys_own_file_commit(const char* name, const char* path) {
  if (name == nullptr || path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (::rename(name, path) != 0) return -1;
  remove_own(name);
  release_own(name);
  return 0;
}

void sys_own_file_remove(const char* name) {
  if (name == nullptr) return;
  remove_own(name);
  release_own(name);
}

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
