// param/src/par_table.cpp -- the parameter table facade: the application's
// name-to-text table, its plain parameter-file reader, the command-line words
// and the hand-off of IRAF-syntax files to the parameter-file library.
#include "param/par.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "par_int.h"
#include "util/util.h"

// Entry of each upper-cased name (trailing blanks removed, as comparisons ignore
// them). A file of a million lines would otherwise compare every line's name
// with every entry of a full table.
struct par_index {
  std::unordered_map<std::string, int> entry;
};

namespace {

// Upper-cased copy of name for lookups; false when it is too long to be a name.
bool table_key(const char* name, char* key) {
  if (std::strlen(name) > static_cast<size_t>(PAR_NAME_LEN)) return false;
  cs_copy_siz(name, key, PAR_NAME_LEN);
  cs_upper(key);
  return true;
}

std::string index_key(const char* key) {
  std::string k(key);
  while (!k.empty() && k.back() == ' ') k.pop_back();
  return k;
}

int index_find(const par_table* table, const char* key) {
  if (table->index == nullptr) return -1;
  auto it = table->index->entry.find(index_key(key));
  return it == table->index->entry.end() ? -1 : it->second;
}

int table_find(const par_table* table, const char* name) {
  char key[PAR_NAME_LEN + 1];
  if (table == nullptr || name == nullptr || !table_key(name, key)) return -1;
  return index_find(table, key);
}

}  // namespace

par_table* par_alloc(int capacity) {
  if (capacity < 1) capacity = 1;
  auto* table = new par_table;
  table->names = alloc_array_c(PAR_NAME_LEN, capacity);
  table->values = alloc_array_c(PAR_VALUE_LEN, capacity);
  table->capacity = capacity;
  return table;
}

void par_free(par_table* table) {
  if (table == nullptr) return;
  free_array_c(table->names);
  free_array_c(table->values);
  delete table->index;
  delete table;
}

int par_set(par_table* table, const char* name, const char* value) {
  if (table == nullptr || name == nullptr) return -1;
  if (value == nullptr) value = "";
  char key[PAR_NAME_LEN + 1];
  if (!table_key(name, key)) {
    err_msg1("Parameter name too long, ignored:", name);
    return -1;
  }
  // Trailing blanks carry no meaning in a value, so only the rest must fit.
  const int len = cs_ends(value);
  if (len > PAR_VALUE_LEN) {
    char line[UTIL_MSG_BUF];
    std::snprintf(line, sizeof line, "Parameter value of %s longer than %d characters, ignored",
                  key, PAR_VALUE_LEN);
    err_msg(line);
    return -1;
  }
  int i = index_find(table, key);
  if (i < 0) {
    if (table->count >= table->capacity) {
      char line[UTIL_MSG_BUF];
      std::snprintf(line, sizeof line, "Parameter table full (%d names), %s ignored",
                    table->capacity, key);
      err_msg(line);
      return -1;
    }
    i = table->count++;
    cs_copy_siz(key, table->names[i], PAR_NAME_LEN);
    if (table->index == nullptr) table->index = new par_index;
    table->index->entry[index_key(key)] = i;
  }
  cs_copy_siz(value, table->values[i], PAR_VALUE_LEN);
  return 0;
}

int par_get_g(par_table* table, const char* name, char* out) {
  const int i = table_find(table, name);
  if (i < 0) {
    cs_zero(out);
    return -1;
  }
  cs_copy_siz(table->values[i], out, PAR_VALUE_LEN);
  return i;
}

int par_get(par_table* table, const char* name, const char* def, char* out) {
  const int i = par_get_g(table, name, out);
  if (i < 0) cs_copy_siz(def, out, PAR_VALUE_LEN);
  return i;
}

int par_get_i(par_table* table, const char* name, int def) {
  const int i = table_find(table, name);
  return i < 0 ? def : read_i(table->values[i]);
}

double par_get_d(par_table* table, const char* name, double def) {
  const int i = table_find(table, name);
  return i < 0 ? def : read_d(table->values[i]);
}

void par_get_vec_d(par_table* table, const char* name, const double* def, double* out) {
  const int i = table_find(table, name);
  if (i < 0) {
    vcopy_d(def, out);
    return;
  }
  const char* cursor = table->values[i];
  for (int k = 0; k < 3; ++k) out[k] = cs_get_d(&cursor);
}

void par_list(par_table* table) {
  if (table == nullptr) return;
  // Built whole: a long value is listed in full, not cut at a buffer size.
  for (int i = 0; i < table->count; ++i) {
    std::string line = table->names[i];
    if (line.size() < 32) line.append(32 - line.size(), ' ');
    line += ' ';
    line += table->values[i];
    msg(line.c_str());
  }
}

namespace {

enum class LineRead { Line, End, Broken };

// One line of a plain parameter file into buf. The buffer is first filled with
// newlines, which a line read never stores, so that the end of what was read
// can be found even past a NUL byte: a NUL inside the line, or a line that
// fills the buffer (longer than PAR_LINE_LEN), makes the line Broken and *bad
// the index of the first character that cannot be taken.
LineRead read_plain_line(int ch, std::array<char, PAR_LINE_LEN + 2>& buf, int* bad) {
  buf.fill('\n');
  if (fio_read(ch, buf.data(), static_cast<int>(buf.size())) == 0) return LineRead::End;
  const char* fill = static_cast<const char*>(std::memchr(buf.data(), '\n', buf.size()));
  if (fill == nullptr) {
    *bad = PAR_LINE_LEN;
    return LineRead::Broken;
  }
  // The terminator stands just before the fill; a NUL just before the terminator
  // is where a carriage return was taken off, so it hides nothing.
  const int end = static_cast<int>(fill - buf.data()) - 1;
  const int len = static_cast<int>(std::strlen(buf.data()));
  if (len < end - 1) {
    *bad = len;
    return LineRead::Broken;
  }
  for (int k = 0; k < len; ++k) {
    const auto c = static_cast<unsigned char>(buf[static_cast<size_t>(k)]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      *bad = k;
      return LineRead::Broken;
    }
  }
  return LineRead::Line;
}

}  // namespace

std::string par_unreadable_reason(const char* filename) {
  struct stat st {};
  if (::stat(filename, &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? "" : std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "it is a directory";
  FILE* f = std::fopen(filename, "r");
  if (f == nullptr) return std::strerror(errno);
  std::fclose(f);
  return "it cannot be read";
}

void par_refuse_file(const char* filename, const char* reason) {
  std::string line = std::string("Cannot read parameter file ") + filename;
  if (reason != nullptr && *reason != '\0') line += std::string(": ") + reason;
  err_msg(line.c_str());
}

int par_read_file(const char* filename, par_table* table) {
  if (filename == nullptr || table == nullptr) return 0;
  // A directory opens but yields no lines: it would read as an empty file.
  struct stat st {};
  if (!cs_is_blank(filename) && !cs_eq(filename, "*") && ::stat(filename, &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    par_refuse_file(filename, "it is a directory");
    return -1;
  }
  const int ch = fio_open_r(filename);
  // Channel 0 is the terminal (a blank name or "*"): there is no file to read.
  if (ch == 0) {
    if (cs_is_blank(filename) || cs_eq(filename, "*")) return 0;
    const std::string reason = par_unreadable_reason(filename);
    if (reason.empty()) return 0;  // a missing file leaves the table as it is
    par_refuse_file(filename, reason.c_str());
    return -1;
  }

  std::array<char, PAR_LINE_LEN + 2> buf{};
  char token[PAR_LINE_LEN + 1];
  bool first = true;
  int status = 0;
  int lineno = 0;
  for (;;) {
    int bad = 0;
    const LineRead got = read_plain_line(ch, buf, &bad);
    if (got == LineRead::End) break;
    ++lineno;
    const char* line = buf.data();
    const char* cursor = line;
    // Read the whole first word so that an over-long name is refused, not cut.
    cs_get_c(&cursor, token, PAR_LINE_LEN);
    if (got == LineRead::Broken) {
      // Control characters or a NUL are no text of a parameter file; an
      // over-long line would be cut. Either way the file is not read.
      const int name_end = cursor != nullptr ? static_cast<int>(cursor - line) : bad + 1;
      char msg_line[UTIL_MSG_BUF];
      std::snprintf(msg_line, sizeof msg_line, "Error in parameter file: line %d: field %s", lineno,
                    bad < name_end ? "Name" : "Value");
      err_msg(msg_line);
      par_refuse_file(filename, nullptr);
      status = -1;
      break;
    }
    if (token[0] == '#' || cs_is_blank(line)) continue;

    if (first) {
      first = false;
      // IRAF syntax: the first word ends exactly at the line's first comma,
      // with no blank after it ("events,s,a,...").
      const int comma = cs_index(line, ",");
      if (cursor != nullptr && comma > 0 && cursor - line == comma) {
        tmsg("Detected IRAF syntax: using ORV parameter interface");
        fio_close(ch);
        return orv_par_open(filename, table);
      }
    }
    if (par_set(table, token, cursor != nullptr ? cursor : "") != 0) status = -1;
  }
  fio_close(ch);
  return status;
}

int par_set_args(char** words, int count, par_table* table) {
  if (words == nullptr || table == nullptr) return 0;
  int status = 0;
  for (int k = 1; k < count; ++k) {
    const char* word = words[k];
    if (word == nullptr) continue;
    const int p = cs_index(word, "=");
    int set = 0;
    if (p >= 1) {
      const std::string name(word, static_cast<size_t>(p - 1));
      set = par_set(table, name.c_str(), word + p);
    } else {
      set = par_set(table, word, " ");
    }
    if (set != 0) status = -1;
  }
  return status;
}

par_table* par_init(const char* deffile, int capacity, char** words, int count) {
  par_table* table = par_alloc(capacity);
  char file[PAR_VALUE_LEN + 1];
  const bool ok = par_set_args(words, count, table) == 0 &&
                  (par_get(table, "par", deffile, file), par_read_file(file, table) == 0) &&
                  par_set_args(words, count, table) == 0;
  if (!ok) {
    par_free(table);
    return nullptr;
  }
  return table;
}

thread_local int par_open_flags = 0;

par_table* par_open(const char* defkernel, const char* deffile, char** words, int count) {
  return par_open_with(defkernel, deffile, words, count, 0);
}

par_table* par_open_with(const char* defkernel, const char* deffile, char** words, int count,
                         int flags) {
  par_table* table = par_alloc(PAR_TABLE_CAPACITY);
  // The words come first so that par and parkernel may be given there. A word
  // refused on this pass would be refused again on the second one.
  bool ok = par_set_args(words, count, table) == 0;
  if (ok) {
    char file[PAR_VALUE_LEN + 1];
    char kernel[PAR_VALUE_LEN + 1];
    par_get(table, "par", deffile, file);
    par_get(table, "parkernel", defkernel, kernel);
    int read = 0;
    const bool from_file = (flags & PAR_NO_FILE) == 0;
    par_open_flags = flags;
    if (cs_uceq(kernel, "orv") || cs_uceq(kernel, "iraf")) {
      dmsg(0, "ORV/IRAF parameter interface");
      if (from_file) read = orv_par_open(file, table);
    } else {
      dmsg(0, "QEL parameter interface");
      if (from_file) read = par_read_file(file, table);
    }
    par_open_flags = 0;
    ok = read == 0 && par_set_args(words, count, table) == 0;
  }
  if (!ok) {
    // A value cut, dropped or replaced by its default would run on other inputs.
    err_msg("Parameters could not be read: stopping");
    par_free(table);
    return nullptr;
  }
  return table;
}
