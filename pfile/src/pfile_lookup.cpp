// Lookup in open parameter files: match lists of names, lookup by exact name,
// field suffixes, the string forms of a parameter's fields, checks of a
// candidate value, and the listing of a file's parameters.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "pfile/pfile.h"
#include "pfile_int.h"
#include "pfile_value_int.h"

using pfile_detail::dup_string;

namespace {

bool is_comment(const Parameter* p) { return p == nullptr || TypeCode(p->ptype) == CommentType; }

void put_field(char* buf, const std::string& text) {
  pfile_detail::copy_text(text, buf, ParamFieldSize);
}

using pfile_detail::Field;

constexpr struct {
  std::string_view suffix;
  Field field;
} FieldSuffixes[] = {{".p_value", Field::PValue},
                     {".p_min", Field::Min},
                     {".p_max", Field::Max},
                     {".p_mode", Field::Mode},
                     {".p_prompt", Field::Prompt}};

}  // namespace

namespace pfile_detail {

Field split_field(const char* name, std::string& base) {
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) {
    base = name;
    return Field::Value;
  }
  base.assign(name, static_cast<std::size_t>(dot - name));
  for (const auto& s : FieldSuffixes) {
    if (dot == s.suffix) {
      return s.field;
    }
  }
  return Field::Bad;
}

std::size_t field_suffix_length(std::string_view name) {
  for (const auto& s : FieldSuffixes) {
    if (name.size() > s.suffix.size() && name.ends_with(s.suffix)) {
      return s.suffix.size();
    }
  }
  return 0;
}

}  // namespace pfile_detail

ParamMatchList* pmatchopen(ParamFile* file, const char* templ) {
  if (file == nullptr || file->psets == nullptr || file->psets == ParamFileCant) {
    return nullptr;
  }
  auto* ml = static_cast<ParamMatchList*>(std::calloc(1, sizeof(ParamMatchList)));
  if (ml == nullptr) {
    return nullptr;
  }
  bool all = templ == nullptr || std::strcmp(templ, "*") == 0;
  ParamMatchEntry** tail = &ml->list;
  ParamList* list = file->psets;
  for (int i = 0; i < list->nparam; ++i) {
    const Parameter* p = list->param[i];
    if (is_comment(p) || p->pname == nullptr || (!all && !tmatch(p->pname, templ))) {
      continue;
    }
    auto* e = static_cast<ParamMatchEntry*>(std::calloc(1, sizeof(ParamMatchEntry)));
    char* name = dup_string(p->pname);
    if (e == nullptr || name == nullptr) {
      std::free(e);
      std::free(name);
      pmatchclose(ml);
      return nullptr;
    }
    e->name = name;
    *tail = e;
    tail = &e->next;
    ++ml->leng;
  }
  ml->next = ml->list;
  return ml;
}

char* pmatchnext(ParamMatchList* mlist) {
  if (mlist == nullptr || mlist->next == nullptr) {
    return nullptr;
  }
  char* name = mlist->next->name;
  mlist->next = mlist->next->next;
  return name;
}

void pmatchrewind(ParamMatchList* mlist) {
  if (mlist != nullptr) {
    mlist->next = mlist->list;
  }
}

int pmatchlength(ParamMatchList* mlist) { return mlist != nullptr ? mlist->leng : 0; }

void pmatchclose(ParamMatchList* mlist) {
  if (mlist == nullptr) {
    return;
  }
  ParamMatchEntry* e = mlist->list;
  while (e != nullptr) {
    ParamMatchEntry* next = e->next;
    std::free(e->name);
    std::free(e);
    e = next;
  }
  std::free(mlist);
}

Parameter* ParamLookup(ParamList* list, const char* name) {
  if (list == nullptr || list == ParamFileCant || name == nullptr || list->param == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < list->nparam; ++i) {
    Parameter* p = list->param[i];
    if (!is_comment(p) && p->pname != nullptr && std::strcmp(p->pname, name) == 0) {
      return p;
    }
  }
  return nullptr;
}

int ParamAccess(ParamFile* file, const char* name) {
  parerr = PARAM_OK;
  if (file == nullptr || name == nullptr) {
    return 0;
  }
  std::string base;
  pfile_detail::split_field(name, base);
  return ParamLookup(file->psets, base.c_str()) != nullptr ? 1 : 0;
}

int c_paccess(ParamFile* file, const char* name) { return ParamAccess(file, name); }

int ParamEntry(const Parameter* p, char* name, char* type, char* mode, char* value, char* min,
               char* max, char* prompt) {
  if (p == nullptr) {
    return 0;
  }
  put_field(name, p->pname ? p->pname : "");
  put_field(type, pfile_detail::type_word(p->ptype));
  put_field(mode, pfile_detail::mode_letters(p->pmode));
  put_field(value, pfile_detail::value_text(&p->pvalue));
  put_field(min, pfile_detail::value_text(&p->pmin));
  put_field(max, pfile_detail::value_text(&p->pmax));
  put_field(prompt, p->pprompt ? p->pprompt : "");
  return 1;
}

int ParamInfo(ParamFile* file, const char* name, char* mode, char* type, char* value, char* min,
              char* max, char* prompt) {
  if (file == nullptr || name == nullptr) {
    return 0;
  }
  std::string base;
  pfile_detail::split_field(name, base);
  return ParamEntry(ParamLookup(file->psets, base.c_str()), nullptr, type, mode, value, min, max,
                    prompt);
}

char* ParamResolve(ParamFile* file, const char* name, char* str, int max) {
  if (str == nullptr || max <= 0) {
    return str;
  }
  str[0] = '\0';
  if (file == nullptr) {
    return str;
  }
  int mode = file->mode;
  if (const void* got = ParamGetX(file, name, StringType, &mode)) {
    pfile_detail::copy_text(static_cast<const char*>(got), str, max);
  }
  return str;
}

int paramvalid(ParamFile* file, const char* name, const char* value, char* out) {
  if (out != nullptr) {
    out[0] = '\0';
  }
  if (file == nullptr || name == nullptr) {
    return 0;
  }
  Parameter* p = ParamLookup(file->psets, name);
  if (p == nullptr) {
    return 0;
  }
  Value v{};
  if (ValueSetString(&v, value ? value : "") != 0) {
    return 0;
  }
  int ok = Validate(file, p, &v);
  if (ok) {
    put_field(out, pfile_detail::value_text(&v));
  }
  ValueClear(&v);
  return ok;
}

void c_paramlist(ParamFile* file) {
  if (file == nullptr || file->psets == nullptr || file->psets == ParamFileCant) {
    return;
  }
  ParamList* list = file->psets;
  pfile_detail::stream_printf(stdout, "\nParameters for %s\n\n",
                              list->filename ? list->filename : "");
  constexpr std::size_t CommentLimit = 2047;
  for (int hidden = 0; hidden < 2; ++hidden) {
    std::string comments;
    for (int i = 0; i < list->nparam; ++i) {
      Parameter* p = list->param[i];
      if (p == nullptr) {
        continue;
      }
      if (TypeCode(p->ptype) == CommentType) {
        std::string line = pfile_detail::value_text(&p->pvalue) + "\n";
        if (comments.size() + line.size() <= CommentLimit) {
          comments += line;
        }
        continue;
      }
      bool is_hidden = (p->pmode & HiddenMode) != 0;
      if (is_hidden != (hidden == 1)) {
        comments.clear();  // comments belong to the next parameter of their group
        continue;
      }
      pfile_detail::stream_printf(stdout, "%s", comments.c_str());
      comments.clear();
      std::string name = p->pname ? p->pname : "";
      std::string value = pfile_detail::shown_value(file, p, &p->pvalue);
      if (is_hidden) {
        name = "(" + name;
        value += ")";
      }
      pfile_detail::stream_printf(stdout, "%14s = %-16s %s\n", name.c_str(), value.c_str(),
                                  p->pprompt ? p->pprompt : "");
    }
  }
  pfile_detail::stream_printf(stdout, "\n");
  std::fflush(stdout);
}
