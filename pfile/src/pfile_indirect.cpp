// Indirect values (references to parameters of the same or another file, and
// "))" shell commands), indirect classing through the PINCLASSDB database,
// enumerations as Range records, minimum and maximum checks, list-structured
// parameters and pset values.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pfile/pfile.h"
#include "pfile_int.h"
#include "pfile_value_int.h"

using pfile_detail::dup_string;
using pfile_detail::is_text;

namespace {

constexpr std::size_t MaxOutput = 2048;  // shell output and list-file lines
constexpr std::size_t MaxDepth = 64;     // nested resolutions before giving up
constexpr int ClassNameMax = 256;        // expanded target file name of a class entry

// Values being resolved, innermost last: meeting one again is a reference cycle.
std::vector<const Value*>& resolving = pfile_detail::state.resolving;
bool& cycle = pfile_detail::state.cycle;

struct Resolving {
  explicit Resolving(const Value* v) { resolving.push_back(v); }
  ~Resolving() { resolving.pop_back(); }
  Resolving(const Resolving&) = delete;
  Resolving& operator=(const Resolving&) = delete;
};

// Reads one line (newline removed); a longer line keeps its first max characters.
bool read_line(FILE* f, std::string& line, std::size_t max) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < max) line += static_cast<char>(c);
  }
  return any;
}

// The first output line of a shell command.
bool run_command(const std::string& command, std::string& out) {
  std::fflush(nullptr);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return false;
  }
  std::string line;
  std::size_t total = 0;
  bool got = false;
  while (total <= MaxOutput && read_line(pipe, line, MaxOutput)) {
    if (!got) {
      out = line;
      got = true;
    }
    total += line.size() + 1;
  }
  // Drain what is left so that the command is not stopped by a broken pipe.
  char sink[512];
  while (std::fread(sink, 1, sizeof sink, pipe) > 0) {
  }
  pclose(pipe);
  return got;
}

bool listed_from(const ParamFile* start, const ParamFile* pf) {
  for (const ParamFile* f = start; f != nullptr; f = f->next) {
    if (f == pf) return true;
  }
  return false;
}

// Gets pname from the file named pfile (the same file when pfile is empty) as
// text, never asking unless the task allows it.
bool fetch(ParamFile* file, const std::string& pfile, const std::string& pname, std::string& out) {
  int mode = HiddenMode | (file->mode & NoQueryMode);
  if (pfile.empty()) {
    const void* got = ParamGetX(file, pname.c_str(), StringType, &mode);
    if (got == nullptr) return false;
    out = static_cast<const char*>(got);
    return true;
  }
  char* found = c_paramfind(pfile.c_str(), "r", pfile_detail::DefaultExtensions,
                            pfile_detail::DefaultSearchPath);
  if (found == nullptr) {
    return false;
  }
  std::string path = found;
  ParamFile* other = ParamFileLookup(path.c_str());
  bool opened = false;
  if (other == nullptr) {
    ParamFile* head = PFList;
    other = c_paramopen(path.c_str(), nullptr, 0, "rH");
    // A handle the caller already had must stay open: only a new one is closed.
    opened = other != nullptr && !listed_from(head, other);
  }
  if (other == nullptr) {
    return false;
  }
  const void* got = ParamGetX(other, pname.c_str(), StringType, &mode);
  bool ok = got != nullptr;
  if (ok) out = static_cast<const char*>(got);
  if (opened) c_paramclose(other);
  return ok;
}

// Replaces v's data by text, keeping (or setting) its indirect text.
bool set_resolved(Value* v, const std::string& text, const std::string& indir) {
  char* ref = dup_string(indir.c_str());
  if (ref == nullptr || ValueSetString(v, text.c_str()) != 0) {
    std::free(ref);
    return false;
  }
  v->indir = ref;
  return true;
}

// ---- indirect classing database -----------------------------------------

using pfile_detail::IndirDB;
using pfile_detail::IndirEntry;

pfile_detail::ClassDB& db = pfile_detail::state.classdb;

int group_of(const std::string& s) {
  char c = s.empty() ? '\0' : s[0];
  return (c >= 'a' && c <= 'z') ? c - 'a' : 26;
}

void drop_db() {
  for (auto& row : db.group) {
    for (auto& g : row) g.entry.clear();
  }
  db.ipfiles.clear();
  db.loaded = false;
  db.name.clear();
}

// Words of a line: blank-separated, or quoted with ' or " (a quote after a
// backslash does not end the word and loses the backslash).
std::vector<std::string> class_words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i >= line.size()) break;
    std::string w;
    char q = line[i];
    if (q == '"' || q == '\'') {
      ++i;
      while (i < line.size() && line[i] != q) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == q) ++i;
        w += line[i++];
      }
      ++i;
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) w += line[i++];
    }
    words.push_back(w);
  }
  return words;
}

void load_db(const std::string& name, const struct stat& st) {
  drop_db();
  db.name = name;
  db.loaded = true;
  db.dev = st.st_dev;
  db.ino = st.st_ino;
  db.size = st.st_size;
  db.mtime = st.st_mtim;
  FILE* f = std::fopen(name.c_str(), "r");
  if (f == nullptr) {
    pfile_detail::stream_printf(stderr, "Warning: can't open indirect classing file '%s'\n",
                                name.c_str());
    return;
  }
  std::string line;
  while (read_line(f, line, 1u << 20)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> w = class_words(line);
    if (w.empty()) continue;
    if (w.size() < 4) {
      pfile_detail::stream_printf(stderr, "Warning: illegal indirect classing line:\n%s\n",
                                  line.c_str());
      continue;
    }
    db.group[group_of(w[0])][group_of(w[1])].entry.push_back({w[0], w[1], w[2], w[3]});
    bool seen = false;
    for (const std::string& s : db.ipfiles) seen = seen || s == w[2];
    if (!seen) db.ipfiles.push_back(w[2]);
  }
  std::fclose(f);
}

const IndirEntry* find_entry(const std::string& pfile, const std::string& param) {
  int gf = group_of(pfile);
  int gp = group_of(param);
  for (const IndirEntry& e : db.group[gf][gp].entry) {
    if (e.pfile == pfile && e.param == param) return &e;
  }
  // Templates are filed under their first character; one that begins with a
  // wildcard sits in the last group and must still be able to match.
  const IndirDB* groups[] = {&db.group[gf][gp], &db.group[26][gp], &db.group[gf][26],
                             &db.group[26][26]};
  for (std::size_t k = 0; k < 4; ++k) {
    if (k > 0 && groups[k] == groups[0]) continue;
    if (k == 3 && (groups[3] == groups[1] || groups[3] == groups[2])) continue;
    for (const IndirEntry& e : groups[k]->entry) {
      if (tmatch(pfile.c_str(), e.pfile.c_str()) && tmatch(param.c_str(), e.param.c_str()))
        return &e;
    }
  }
  return nullptr;
}

}  // namespace

namespace pfile_detail {

bool is_indirect(const Value* v) {
  if (v->indir != nullptr) {
    return true;
  }
  return v->value != nullptr && TypeCode(v->type) == StringType &&
         static_cast<const char*>(v->value)[0] == ')';
}

bool cycle_met() { return cycle; }
void clear_cycle() { cycle = false; }

}  // namespace pfile_detail

int UsingIndirectClassing(void) {
  const char* env = std::getenv("PINCLASSDB");
  if (env == nullptr || *env == '\0' || std::strcmp(env, "NONE") == 0) {
    drop_db();
    return 0;
  }
  std::string name = env;
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    if (std::find(db.warned.begin(), db.warned.end(), name) == db.warned.end()) {
      db.warned.push_back(name);
      pfile_detail::stream_printf(stderr, "Warning: indirect classing file '%s' does not exist\n",
                                  name.c_str());
    }
    drop_db();
    return 0;
  }
  // A database file edited while the program runs is read again.
  bool same = db.loaded && db.name == name && db.dev == st.st_dev && db.ino == st.st_ino &&
              db.size == st.st_size && db.mtime.tv_sec == st.st_mtim.tv_sec &&
              db.mtime.tv_nsec == st.st_mtim.tv_nsec;
  if (!same) {
    load_db(name, st);
  }
  return 1;
}

int LookupInClass(const char* pfile, const char* param, char* ipfile, char* iparam) {
  if (pfile == nullptr || param == nullptr || !UsingIndirectClassing()) {
    return 0;
  }
  const IndirEntry* e = find_entry(pfile, param);
  if (e == nullptr) {
    return 0;
  }
  pfile_detail::copy_text(e->ipfile, ipfile, ParamFieldSize);
  pfile_detail::copy_text(e->iparam, iparam, ParamFieldSize);
  return 1;
}

int GetIndirectPFiles(char** array, int max) {
  if (array == nullptr || max <= 0 || !UsingIndirectClassing()) {
    return 0;
  }
  int n = 0;
  for (const std::string& s : db.ipfiles) {
    if (n >= max) break;
    array[n] = dup_string(s.c_str());
    if (array[n] == nullptr) break;
    ++n;
  }
  return n;
}

int IndirectClassing(ParamFile* file, Parameter* p, Value* value) {
  if (file == nullptr || p == nullptr || value == nullptr || p->pname == nullptr ||
      file->psets == nullptr || file->psets->filename == nullptr || !UsingIndirectClassing()) {
    return 0;
  }
  std::string base = file->psets->filename;
  std::size_t slash = base.rfind('/');
  if (slash != std::string::npos) base.erase(0, slash + 1);
  std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.resize(dot);

  const IndirEntry* e = find_entry(base, p->pname);
  if (e == nullptr) {
    return 0;
  }
  char target[ClassNameMax + 1];
  ExpandEnv(e->ipfile.c_str(), target, sizeof target);
  std::string iparam = e->iparam;
  std::string got;
  int saved = parerr;
  bool saved_cycle = cycle;
  if (!fetch(file, target, iparam, got)) {
    parerr = saved;  // the value stays as it was
    cycle = saved_cycle;
    return 0;
  }
  return ValueSetString(value, got.c_str()) == 0 ? 1 : 0;
}

int VDirect(ParamFile* file, Parameter* p, Value* v) {
  if (file == nullptr || p == nullptr || v == nullptr) {
    parerr = PARAM_INDIRECT_FAILED;
    return 0;
  }
  for (const Value* r : resolving) {
    if (r == v) {
      parerr = PARAM_INDIRECT_FAILED;
      cycle = true;
      return 0;
    }
  }
  if (resolving.size() >= MaxDepth) {
    parerr = PARAM_INDIRECT_FAILED;
    cycle = true;
    return 0;
  }
  Resolving guard(v);
  // Classing redirects the stored value only: never a limit, and never a value
  // given on the command line, typed in or being set, which must win.
  if (v == &p->pvalue) {
    IndirectClassing(file, p, v);
  }
  if (!pfile_detail::is_indirect(v)) {
    return 1;
  }
  std::string ref = v->indir != nullptr ? v->indir : static_cast<const char*>(v->value);
  std::string fetched;
  bool ok = false;
  if (ref.compare(0, 2, "))") == 0) {
    ok = run_command(ref.substr(2), fetched);
  } else {
    std::string body = ref.substr(1);
    if (!body.empty() && body[0] == '*') body.erase(0, 1);
    std::string suffix = body.substr(body.size() - pfile_detail::field_suffix_length(body));
    body.resize(body.size() - suffix.size());
    std::string pfile;
    std::string pname = body;
    std::size_t dot = body.rfind('.');
    if (dot != std::string::npos) {
      pfile = body.substr(0, dot);
      pname = body.substr(dot + 1);
    }
    bool itself = pfile.empty() && suffix.empty() && p->pname != nullptr && pname == p->pname;
    if (!pname.empty() && !itself) {
      ok = fetch(file, pfile, pname + suffix, fetched);
    }
  }
  if (!ok || !set_resolved(v, fetched, ref)) {
    parerr = PARAM_INDIRECT_FAILED;
    return 0;
  }
  return 1;
}

Range* VRange(ParamFile* /*file*/, Parameter* p, Value* v) {
  pfile_detail::install_value_access();
  if (p == nullptr || v == nullptr || v->value == nullptr) {
    return nullptr;
  }
  if (TypeCode(v->type) == RangeType) {
    return static_cast<Range*>(v->value);
  }
  if (!is_text(TypeCode(v->type))) {
    return nullptr;
  }
  const char* text = static_cast<const char*>(v->value);
  if (std::strpbrk(text, "|:!") == nullptr) {
    return nullptr;
  }
  int type = TypeCode(p->ptype);
  if (VTypeList[type].compare == nullptr) {
    parerr = PARAM_TYPE_NO_RANGE;
    return nullptr;
  }
  auto* r = static_cast<Range*>(std::calloc(1, sizeof(Range)));
  if (r == nullptr) {
    parerr = PARAM_BAD_RANGE;
    return nullptr;
  }
  r->type = type;
  r->str = dup_string(text);
  std::string all = text;
  std::size_t start = 0;
  while (true) {
    std::size_t bar = all.find('|', start);
    std::string item =
        all.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    pfile_detail::Datum d;
    if (!pfile_detail::convert(item.c_str(), StringType, type, d)) {
      RangeFree(r);
      parerr = PARAM_BAD_RANGE;
      return nullptr;
    }
    if (r->nval == r->nalo) {
      int grown = r->nalo + 20;
      auto* checks = static_cast<Check*>(
          std::realloc(r->check, static_cast<std::size_t>(grown) * sizeof(Check)));
      if (checks == nullptr) {
        RangeFree(r);
        parerr = PARAM_BAD_RANGE;
        return nullptr;
      }
      std::memset(checks + r->nalo, 0, static_cast<std::size_t>(grown - r->nalo) * sizeof(Check));
      r->check = checks;
      r->nalo = grown;
    }
    Check& c = r->check[r->nval];
    c.oper = 1;
    if (is_text(type)) {
      char* copy = dup_string(d.s.c_str());
      std::memcpy(c.v, &copy, sizeof copy);
    } else if (type == RealType) {
      std::memcpy(c.v, &d.d, sizeof d.d);
    } else {
      std::memcpy(c.v, &d.i, sizeof d.i);
    }
    ++r->nval;
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  pfile_detail::replace_data(v, RangeType, r);
  return r;
}

int VInRange(Range* range, Value* v) {
  pfile_detail::install_value_access();
  if (range == nullptr || v == nullptr) {
    return 0;
  }
  int type = TypeCode(range->type);
  if (type != TypeCode(v->type)) {
    pfile_detail::stream_printf(stderr, "%s", "INTERNAL TYPE MISMATCH range != value\n");
    pfile_detail::pfile_exit(2);
  }
  if (is_text(type)) {
    const char* val = v->value != nullptr ? static_cast<const char*>(v->value) : "";
    std::size_t len = std::strlen(val);
    const char* only = nullptr;
    int prefixed = 0;
    for (int i = 0; i < range->nval; ++i) {
      const char* item = static_cast<const char*>(pfile_detail::item_data(range->check[i], type));
      if (item == nullptr) continue;
      if (std::strcmp(item, val) == 0) return 1;
      if (std::strncmp(item, val, len) == 0) {
        only = item;
        ++prefixed;
      }
    }
    if (prefixed == 1) {
      char* whole = dup_string(only);
      if (whole == nullptr) return 0;
      std::free(v->value);
      v->value = whole;
      return 1;
    }
    parerr = prefixed > 1 ? PARAM_ENUM_NOT_UNIQUE : PARAM_BAD_ENUM;
    return 0;
  }
  auto compare = VTypeList[type].compare;
  for (int i = 0; compare != nullptr && i < range->nval; ++i) {
    if (compare(v->value, range->check[i].oper, pfile_detail::item_data(range->check[i], type)))
      return 1;
  }
  parerr = PARAM_NOT_IN_RANGE;
  return 0;
}

int PRangeMinMax(Value* value, Value* min, Value* max) {
  pfile_detail::install_value_access();
  if (value == nullptr) {
    return 0;
  }
  int type = TypeCode(value->type);
  auto compare = (type >= 0 && type < NTypes) ? VTypeList[type].compare : nullptr;
  if (pfile_detail::is_present(min) && (compare == nullptr || TypeCode(min->type) != type ||
                                        !compare(value->value, 4, min->value))) {
    parerr = PARAM_BELOW_MINIMUM;
    return 0;
  }
  if (pfile_detail::is_present(max) && (compare == nullptr || TypeCode(max->type) != type ||
                                        !compare(value->value, 6, max->value))) {
    parerr = PARAM_ABOVE_MAXIMUM;
    return 0;
  }
  return 1;
}

Value* NextListValue(ParamFile* file, Parameter* p) {
  Value& line_value = pfile_detail::state.line_value;
  ValueClear(&line_value);
  if (file == nullptr || p == nullptr || p->extension == nullptr) {
    return nullptr;
  }
  auto* f = static_cast<FILE*>(p->extension);
  std::string line;
  while (read_line(f, line, MaxOutput)) {
    if (ValueSetString(&line_value, line.c_str()) != 0) return nullptr;
    parerr = PARAM_OK;
    if (pfile_detail::convert_value(&line_value, TypeCode(p->ptype)) &&
        pfile_detail::check_limits(file, p, &line_value)) {
      return &line_value;
    }
  }
  ValueClear(&line_value);
  parerr = PARAM_OK;
  return nullptr;
}

Value* VXAcce(ParamFile* file, Parameter* p, int type, Value* value) {
  if (!VDirect(file, p, value) || !pfile_detail::convert_value(value, type)) {
    return nullptr;
  }
  return value;
}

Value* VAcce(ParamFile* file, Parameter* p, int type, Value* value) {
  if (!VDirect(file, p, value)) {
    return nullptr;
  }
  if (!pfile_detail::is_present(value) && ValueSetString(value, p->pname) != 0) {
    return nullptr;
  }
  return pfile_detail::convert_value(value, type) ? value : nullptr;
}
