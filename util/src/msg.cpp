// msg.cpp -- message routines, debug levels with per-package levels and the
// stack of active routines, the registry of package versions, and the
// library's start-up. Messages only choose a channel; the channel files write them.
#include "util/util.h"

#include <array>
#include <cstring>
#include <string>

#include "util_int.h"

namespace {

constexpr const char* kLibVersion = "CV1.4";
constexpr const char* kLibPackage = "RIRADE UTILS";
// The last slot is never filled: when 39 packages are held, each new one takes
// entry 39 over, so the first 38 registrations (the libraries) always stay listed.
constexpr int kVerUsed = UTIL_MAX_VER - 1;

using util_int::dbg;
util_int::Versions& ver = util_int::state.ver;

std::string dash_string(int n) { return std::string(static_cast<std::size_t>(n), '-'); }

std::string tag_of(long level) {
  char tag[32];
  std::snprintf(tag, sizeof tag, "[*%ld]", level);
  return tag;
}

// "%-6s" of the tag.
std::string padded_tag(long level) {
  std::string t = tag_of(level);
  if (t.size() < 6) t.append(6 - t.size(), ' ');
  return t;
}

}  // namespace

// Initialised before main. No start-up code of another file uses the library, and
// clang cannot constant-initialise the std::string the record holds.
util_int::UtilState util_int::state;
thread_local util_int::DebugState util_int::dbg;

// ----- messages -----
// Messages are written whole, however long: nothing is cut at a buffer size.

void msg(const char* text) { fio_write(util_int::cur_output(), text); }
void msgl(const char* text) { fio_write_prompt(util_int::cur_output(), text); }
void msg_endline(void) { fio_write_eol(util_int::cur_output()); }
void tmsg(const char* text) { fio_write(0, text); }
void tmsgl(const char* text) { fio_write_prompt(0, text); }
void err_msg(const char* text) { fio_write(util_int::err_channel(), text); }

void err_msg1(const char* text, const char* item) {
  std::string line = std::string(text ? text : "") + " " + (item ? item : "");
  err_msg(line.c_str());
}

void dashline(int n) {
  while (n > 80) {
    msgl(dash_string(80).c_str());
    n -= 80;
  }
  msg(dash_string(n > 0 ? n : 0).c_str());
}

// ----- debug levels -----

void dbg_set(long level) { dbg_setpkg("GLOBAL", level); }

void dbg_setpkg(const char* name, long level) {
  if (cs_eq(name, "GLOBAL")) {
    dbg.global = level;
    if (level > 0) {
      std::string line = "[*] Debug level set to " + tag_of(level);
      err_msg(line.c_str());
    }
    return;
  }
  if (cs_eq(name, "ALL")) {
    for (int k = 0; k < dbg.npkg; ++k) dbg.pkglev[k] = level;
    return;
  }
  int idx = dbg_addpkg(name);
  if (idx >= 0) dbg.pkglev[idx] = level;
}

int dbg_addpkg(const char* name) {
  std::string nm = util_int::trimmed(name, UTIL_NAME_LEN);
  for (int k = 0; k < dbg.npkg; ++k)
    if (cs_eq(nm.c_str(), dbg.pkgnam[k])) return k;
  if (dbg.npkg >= UTIL_MAX_PKG) {
    tmsg("Routine list_add: list overflow");
    return -1;
  }
  util_int::copy_bounded(nm, dbg.pkgnam[dbg.npkg], UTIL_NAME_LEN + 1);
  dbg.pkglev[dbg.npkg] = 0;
  return dbg.npkg++;
}

// A push beyond the stack depth is only counted, so that its pop does not
// remove an outer routine. A routine whose package cannot be registered is
// still stacked (with no package level) to keep pushes and pops paired.
void dbg_push(const char* package, const char* routine) {
  if (dbg.ntree >= UTIL_MAX_TREE) {
    ++dbg.ignored;
    return;
  }
  int idx = dbg_addpkg(package);
  dbg.tree_num[dbg.ntree] = idx;
  util_int::copy_bounded(util_int::trimmed(routine, UTIL_NAME_LEN), dbg.tree_rtn[dbg.ntree],
                         UTIL_NAME_LEN + 1);
  ++dbg.ntree;
  if (dbg.trace) dbg_disptree();
}

void dbg_pop(void) {
  if (dbg.ignored > 0) {
    --dbg.ignored;
    return;
  }
  if (dbg.ntree > 0) --dbg.ntree;
  if (dbg.trace) dbg_disptree();
}

long dbg_get(void) {
  if (dbg.ntree > 0) {
    int idx = dbg.tree_num[dbg.ntree - 1];
    if (idx >= 0 && dbg.pkglev[idx] > dbg.global) return dbg.pkglev[idx];
  }
  return dbg.global;
}

bool dbg_level(long n) { return dbg_get() >= n; }

void dmsg_tag(long level, char* buf) { util_int::copy_bounded(tag_of(level), buf, 32); }

void dmsg(long level, const char* text) {
  if (level > dbg_get()) return;
  std::string line = padded_tag(level) + (text ? text : "");
  err_msg(line.c_str());
}

void dmsg1(long level, const char* text, const char* item) {
  if (level > dbg_get()) return;
  std::string line = padded_tag(level) + (text ? text : "") + (item ? item : "");
  err_msg(line.c_str());
}

void dbg_trace(int flag) { dbg.trace = flag != 0; }

void dbg_listpkg(void) {
  char line[96];
  err_msg("[*] DEBUG PACKAGES ACTIVE");
  // The header's own newline leaves an empty line under it in the listing.
  std::snprintf(line, sizeof line, "%-32s%s\n", "*Package*", "Level");
  err_msg(line);
  std::snprintf(line, sizeof line, "%-32s%s", "GLOBAL", tag_of(dbg.global).c_str());
  err_msg(line);
  for (int k = 0; k < dbg.npkg; ++k) {
    std::snprintf(line, sizeof line, "%-32s%s", dbg.pkgnam[k], tag_of(dbg.pkglev[k]).c_str());
    err_msg(line);
  }
}

// Routine names from the outermost, each followed by '/', in lines of about 80
// columns; a name that does not fit starts a continuation line.
void dbg_disptree(void) {
  char line[128];
  char* cur = line;
  int room = 80;
  int pre = 6;
  cs_put_cn("[*->] ", &cur, &pre);
  for (int k = 0; k < dbg.ntree; ++k) {
    cs_put_token(dbg.tree_rtn[k], &cur, '/', &room);
    if (room == 0) {
      err_msg(line);
      cur = line;
      pre = 6;
      cs_put_cn("      ", &cur, &pre);
      room = 74;
      cs_put_token(dbg.tree_rtn[k], &cur, '/', &room);
    }
  }
  if (cur > line && cur[-1] == '/') cur[-1] = ' ';
  err_msg(line);
}

void dbg_disppkg(void) {
  if (dbg.ntree == 0) return;
  int idx = dbg.tree_num[dbg.ntree - 1];
  char line[96];
  std::snprintf(line, sizeof line, "%-32s%s", idx >= 0 ? dbg.pkgnam[idx] : " ",
                dbg.tree_rtn[dbg.ntree - 1]);
  err_msg(line);
}

// ----- version registry -----

int ver_init(const char* package, const char* version) {
  std::string pkg = util_int::trimmed(package, UTIL_VALUE_LEN);
  for (int k = 0; k < ver.nver; ++k) {
    if (!cs_eq(pkg.c_str(), ver.program[k])) continue;
    if (!cs_eq(version, ver.version[k]))
      // The text ends in a blank and err_msg1 adds one: the warning shows two
      // blanks before the name, the line users have always seen.
      err_msg1("RIRADE WARNING: Package version mismatch ", pkg.c_str());
    return 1;
  }
  if (ver.nver < kVerUsed) ++ver.nver;
  int slot = ver.nver - 1;
  util_int::copy_bounded(pkg, ver.program[slot], UTIL_VALUE_LEN + 1);
  util_int::copy_bounded(util_int::trimmed(version, UTIL_NAME_LEN), ver.version[slot],
                         UTIL_NAME_LEN + 1);
  // The trailing newline gives each registration an empty line after it in a
  // debug log, which sets the start-up lines apart from what follows.
  std::string text = "Init " + pkg + " " + ver.version[slot] + "\n";
  dmsg(1, text.c_str());
  return 0;
}

void ver_msg(void) {
  for (int k = 0; k < ver.nver; ++k) {
    std::string line = std::string(ver.program[k]) + " " + ver.version[k];
    msg(line.c_str());
  }
}

void rirade_ver(char* buf) { util_int::copy_bounded(kLibVersion, buf, 32); }

// ----- start-up -----

int rirade_init(void) {
  if (ver_init(kLibPackage, kLibVersion) == 0) rirade_layer1_init();
  return 0;
}

void rirade_layer1_init(void) { util_int::reset_state(util_int::Reset::StartUp); }

void tpio_init(void) { util_int::state.tpio = util_int::TokenBuffers{}; }

void unit_init(void) {
  util_int::state.units[0] = util_int::UnitRegister{};
  util_int::state.units[1] = util_int::UnitRegister{};
}

void util_int::reset_state(Reset what) {
  if (what == Reset::Whole) {
    // Open files are closed, not forgotten; fio_close leaves the standard streams.
    for (int ch = 1; ch <= UTIL_MAX_CHAN; ++ch) fio_close(ch);
    state = UtilState{};
    dbg = DebugState{};
    term = Terminal{};
    rirade_init();
    return;
  }
  nan_init();
  io_init();
  esc_init();
  fio_path_init();
  tpio_init();
  unit_init();
}
