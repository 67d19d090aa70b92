// param/src/par_table.cpp -- the parameter table facade: the application's
// name-to-text table, its plain parameter-file reader, the command-line words
// and the hand-off of IRAF-syntax files to the parameter-file library.
#include "param/par.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "util/util.h"

namespace {

// Upper-cased copy of name for lookups; false when it is too long to be a name.
bool table_key(const char* name, char* key) {
  if (std::strlen(name) > static_cast<size_t>(PAR_NAME_LEN)) return false;
  cs_copy_siz(name, key, PAR_NAME_LEN);
  cs_upper(key);
  return true;
}

// Entry of each upper-cased name (trailing blanks removed, as comparisons ignore
// them), one index per table made by par_alloc. A file of a million lines would
// otherwise compare every line's name with every entry of a full table.
using NameIndex = std::unordered_map<std::string, int>;
std::unordered_map<const par_table*, NameIndex> indexes;

std::string index_key(const char* key) {
  std::string k(key);
  while (!k.empty() && k.back() == ' ') k.pop_back();
  return k;
}

int index_find(const par_table* table, const char* key) {
  const NameIndex& index = indexes[table];
  auto it = index.find(index_key(key));
  return it == index.end() ? -1 : it->second;
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
  indexes.erase(table);
  delete table;
}

void par_set(par_table* table, const char* name, const char* value) {
  if (table == nullptr || name == nullptr) return;
  if (value == nullptr) value = "";
  char key[PAR_NAME_LEN + 1];
  if (!table_key(name, key)) {
    err_msg1("Parameter name too long, ignored:", name);
    return;
  }
  // Trailing blanks carry no meaning in a value, so only the rest must fit.
  const int len = cs_ends(value);
  if (len > PAR_VALUE_LEN) {
    char line[UTIL_MSG_BUF];
    std::snprintf(line, sizeof line, "Parameter value of %s longer than %d characters, ignored",
                  key, PAR_VALUE_LEN);
    err_msg(line);
    return;
  }
  int i = index_find(table, key);
  if (i < 0) {
    if (table->count >= table->capacity) return;
    i = table->count++;
    cs_copy_siz(key, table->names[i], PAR_NAME_LEN);
    indexes[table][index_key(key)] = i;
  }
  cs_copy_siz(value, table->values[i], PAR_VALUE_LEN);
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
  char line[UTIL_MSG_BUF];
  for (int i = 0; i < table->count; ++i) {
    std::snprintf(line, sizeof line, "%-32s %s", table->names[i], table->values[i]);
    msg(line);
  }
}

void par_read_file(const char* filename, par_table* table) {
  if (filename == nullptr || table == nullptr) return;
  const int ch = fio_open_r(filename);
  // Channel 0 is the terminal (a blank name or "*"): there is no file to read.
  if (ch == 0) return;

  char line[PAR_LINE_LEN + 1];
  char token[PAR_LINE_LEN + 1];
  bool first = true;
  while (fio_read(ch, line, sizeof line) != 0) {
    const char* cursor = line;
    // Read the whole first word so that an over-long name is refused, not cut.
    cs_get_c(&cursor, token, PAR_LINE_LEN);
    if (token[0] == '#' || cs_is_blank(line)) continue;

    if (first) {
      first = false;
      // IRAF syntax: the first word ends exactly at the line's first comma,
      // with no blank after it ("events,s,a,...").
      const int comma = cs_index(line, ",");
      if (cursor != nullptr && comma > 0 && cursor - line == comma) {
        tmsg("Detected IRAF syntax: using ORV parameter interface");
        fio_close(ch);
        orv_par_open(filename, table);
        return;
      }
    }
    par_set(table, token, cursor != nullptr ? cursor : "");
  }
  fio_close(ch);
}

void par_set_args(char** words, int count, par_table* table) {
  if (words == nullptr || table == nullptr) return;
  for (int k = 1; k < count; ++k) {
    const char* word = words[k];
    if (word == nullptr) continue;
    const int p = cs_index(word, "=");
    if (p >= 1) {
      const std::string name(word, static_cast<size_t>(p - 1));
      par_set(table, name.c_str(), word + p);
    } else {
      par_set(table, word, " ");
    }
  }
}

par_table* par_init(const char* deffile, int capacity, char** words, int count) {
  par_table* table = par_alloc(capacity);
  par_set_args(words, count, table);
  char file[PAR_VALUE_LEN + 1];
  par_get(table, "par", deffile, file);
  par_read_file(file, table);
  par_set_args(words, count, table);
  return table;
}

par_table* par_open(const char* defkernel, const char* deffile, char** words, int count) {
  par_table* table = par_alloc(PAR_TABLE_CAPACITY);
  par_set_args(words, count, table);

  char file[PAR_VALUE_LEN + 1];
  char kernel[PAR_VALUE_LEN + 1];
  par_get(table, "par", deffile, file);
  par_get(table, "parkernel", defkernel, kernel);
  if (cs_uceq(kernel, "orv") || cs_uceq(kernel, "iraf")) {
    dmsg(0, "ORV/IRAF parameter interface");
    orv_par_open(file, table);
  } else {
    dmsg(0, "QEL parameter interface");
    par_read_file(file, table);
  }

  par_set_args(words, count, table);
  return table;
}
