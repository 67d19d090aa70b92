// pfile/src/param_args.cpp -- turns a task's command-line words into the
// command-line list of its open parameter file: positional values land on the
// visible parameters in file order, named values are matched by name or
// unique abbreviation, and positional values must come before "name=" words.
#include "param_args.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pfile_int.h"
#include "pfile_value_int.h"

namespace {

using pfile_detail::dup_string;

enum class ItemKind { Positional, Named, Query, Switch };

struct Item {
  ItemKind kind;
  std::string name;
  std::string value;
};

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.';
}

// A value word is the whole rest of its word; two double quotes stand for "".
std::string valueWord(std::string_view w) { return w == "\"\"" ? std::string() : std::string(w); }

// One command-line word: "name=value", "name=", "name+", "name-", or a value.
Item lexWord(std::string_view w) {
  if (!w.empty() && isNameStart(w[0])) {
    size_t n = 1;
    while (n < w.size() && isNameChar(w[n])) ++n;
    std::string name(w.substr(0, n));
    if (n < w.size() && w[n] == '=') {
      std::string_view rest = w.substr(n + 1);
      if (rest.empty()) return {ItemKind::Query, name, ""};
      return {ItemKind::Named, name, valueWord(rest)};
    }
    if (n + 1 == w.size() && (w[n] == '+' || w[n] == '-')) {
      return {ItemKind::Switch, name, w[n] == '+' ? "yes" : "no"};
    }
  }
  return {ItemKind::Positional, "", valueWord(w)};
}

bool isVisible(const Parameter* p) {
  return p != nullptr && p->pname != nullptr && TypeCode(p->ptype) != CommentType &&
         (p->pmode & HiddenMode) == 0;
}

// A command-line record; takes name (malloc'd). Null when out of memory.
Parameter* makeRecord(char* name, int type, int mode, const char* value) {
  Parameter* rec = ParamAlloc();
  if (rec == nullptr || name == nullptr) {
    std::free(name);
    ParamFree(rec);
    return nullptr;
  }
  rec->pname = name;
  rec->ptype = type;
  rec->pmode = mode;
  if (ValueSetString(&rec->pvalue, value) != 0) {
    ParamFree(rec);
    return nullptr;
  }
  return rec;
}

// The last word given for a parameter wins: an earlier record of that name goes.
void addReplacing(ParamList* out, Parameter* rec) {
  for (int i = 0; i < out->nparam; ++i) {
    Parameter* old = out->param[i];
    if (old != nullptr && std::strcmp(old->pname, rec->pname) == 0) {
      PListDel(out, old);
      ParamFree(old);
      break;
    }
  }
  if (PListAdd(out, rec) != 0) ParamFree(rec);
}

}  // namespace

char* ParamMatch(ParamList* list, const char* name) {
  if (name == nullptr) return nullptr;
  std::string_view arg(name);
  std::string_view suffix = arg.substr(arg.size() - pfile_detail::field_suffix_length(arg));
  std::string_view base = arg.substr(0, arg.size() - suffix.size());

  std::vector<const char*> candidates;
  for (int i = 0; list != nullptr && i < list->nparam; ++i) {
    const Parameter* p = list->param[i];
    if (p == nullptr || p->pname == nullptr || TypeCode(p->ptype) == CommentType) continue;
    std::string_view pname(p->pname);
    if (pname == base) return dup_string(name);
    if (pname.substr(0, base.size()) == base) candidates.push_back(p->pname);
  }
  if (candidates.size() == 1) {
    // The full name keeps the field the argument asked for.
    std::string full = std::string(candidates[0]) + std::string(suffix);
    return dup_string(full.c_str());
  }
  if (candidates.size() > 1) {
    pfile_detail::stream_printf(stderr, "parammatch : parameter name %s not uniq (%s, %s)\n", name,
                                candidates[0], candidates[1]);
    parerr = PARAM_NOT_UNIQUE;
    return nullptr;
  }
  pfile_detail::stream_printf(stderr, "parammatch : can't find parameter %s in reference list\n",
                              name);
  return nullptr;
}

Parameter* ParamPositional(ParamList* list, int position, const char* value) {
  int seen = 0;
  for (int i = 0; list != nullptr && position >= 1 && i < list->nparam; ++i) {
    const Parameter* p = list->param[i];
    if (!isVisible(p) || ++seen != position) continue;
    return makeRecord(dup_string(p->pname), p->ptype, 0, value != nullptr ? value : "");
  }
  parerr = PARAM_TOO_MANY_POSITIONAL;
  return nullptr;
}

ParamList* IRAFParArgs(ParamList* list, char** argv, int argc) {
  if (argv == nullptr || argc < 2) return nullptr;
  ParamList* out = PListCreate();
  if (out == nullptr) return nullptr;

  bool afterEquals = false;  // from the first "name=" on, bare values are refused
  int position = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr || argv[i][0] == '\0') continue;
    Item item = lexWord(argv[i]);
    Parameter* rec = nullptr;
    if (item.kind == ItemKind::Positional) {
      if (afterEquals) {
        pfile_detail::stream_printf(stderr, "%s", "Sorry, Arguments not ok, try again.\n");
        PListFree(out);
        return nullptr;
      }
      rec = ParamPositional(list, ++position, item.value.c_str());
    } else {
      if (item.kind != ItemKind::Switch) afterEquals = true;
      char* full = ParamMatch(list, item.name.c_str());
      if (full == nullptr) continue;
      int mode = item.kind == ItemKind::Query ? QueryMode : LearnMode;
      rec = makeRecord(full, StringType, mode, item.value.c_str());
    }
    if (rec != nullptr) addReplacing(out, rec);
  }
  return out;
}

ParamList* ParamFileArgs(ParamList* list, char** argv, int argc) {
  return IRAFParArgs(list, argv, argc);
}
