// Records of the parameter-file library: building and freeing parameter
// lists, parameters and values; the type table; type words and mode letters;
// the text forms of values and the bounded copy the other sources share.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pfile/pfile.h"
#include "pfile_int.h"
#include "util/util.h"

VType VTypeList[NTypes] = {
    {"void", 0, nullptr, nullptr},
    {"b", sizeof(int), nullptr, nullptr},
    {"i", sizeof(int), nullptr, nullptr},
    {"r", sizeof(double), nullptr, nullptr},
    {"s", sizeof(char*), nullptr, nullptr},
    {"f", sizeof(char*), nullptr, nullptr},
    {"g", sizeof(char*), nullptr, nullptr},
    {"struct", sizeof(char*), nullptr, nullptr},
    {"gcur", sizeof(char*), nullptr, nullptr},
    {"imcur", sizeof(char*), nullptr, nullptr},
    {"mode", sizeof(int), nullptr, nullptr},
    {"pset", sizeof(char*), nullptr, nullptr},
    {"range", sizeof(Range), nullptr, nullptr},
    {"comment", sizeof(char*), nullptr, nullptr},
};

namespace {

ParamList cant_sentinel{};

constexpr int InitialSlots = 10;
constexpr int GrowSlots = 30;

using pfile_detail::is_text;

// String form of data of the given type held at data (a Range item or a value).
std::string data_text(int type, const void* data) {
  switch (type) {
    case BooleanType: return *static_cast<const int*>(data) ? "yes" : "no";
    case IntegerType: return pfile_detail::int_text(*static_cast<const int*>(data));
    case RealType: return pfile_detail::real_text(*static_cast<const double*>(data));
    case ModeType: return pfile_detail::mode_letters(*static_cast<const int*>(data));
    default: return {};
  }
}

std::string range_text(const Range* r) {
  std::string out;
  for (int i = 0; i < r->nval; ++i) {
    if (i > 0) {
      out += '|';
    }
    const void* item = r->check[i].v;
    if (is_text(TypeCode(r->type))) {
      const char* text = nullptr;
      std::memcpy(&text, item, sizeof text);
      out += text ? text : "";
    } else {
      out += data_text(TypeCode(r->type), item);
    }
  }
  return out;
}

}  // namespace

ParamList* const ParamFileCant = &cant_sentinel;

namespace pfile_detail {

bool is_text(int type) {
  switch (type) {
    case StringType:
    case FileType:
    case GType:
    case StructType:
    case GcurType:
    case ImcurType:
    case PsetType:
    case CommentType: return true;
    default: return false;
  }
}

std::string int_text(int v) { return v == IndefInt ? "INDEF" : std::to_string(v); }

std::string real_text(double v) {
  if (v == IndefReal) {
    return "INDEF";
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.16g", v);
  return buf;
}

void copy_text(const std::string& text, char* buf, int size) {
  if (buf != nullptr && size > 0) {
    cs_copy_siz(text.c_str(), buf, size - 1);
  }
}

char* dup_string(const char* text) {
  if (text == nullptr) {
    return nullptr;
  }
  std::size_t n = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text, n + 1);
  }
  return copy;
}

std::string value_text(const Value* v) {
  if (v == nullptr) {
    return {};
  }
  if (v->indir != nullptr) {
    return v->indir;
  }
  if (v->value == nullptr) {
    return {};
  }
  int type = TypeCode(v->type);
  if (is_text(type)) {
    return static_cast<const char*>(v->value);
  }
  if (type == RangeType) {
    return range_text(static_cast<const Range*>(v->value));
  }
  return data_text(type, v->value);
}

std::string type_word(int ptype) {
  std::string word = (ptype & ListType) ? "*" : "";
  int code = TypeCode(ptype);
  word += (code >= 0 && code < NTypes) ? VTypeList[code].name : "void";
  return word;
}

std::string mode_letters(int mode) {
  std::string out;
  if (mode & AutoMode) out += 'a';
  if (mode & HiddenMode) out += 'h';
  if (mode & QueryMode) out += 'q';
  if (mode & LearnMode) out += 'l';
  return out;
}

}  // namespace pfile_detail

ParamList* PListCreate(void) {
  auto* list = static_cast<ParamList*>(std::calloc(1, sizeof(ParamList)));
  if (list == nullptr) {
    return nullptr;
  }
  list->param = static_cast<Parameter**>(std::calloc(InitialSlots, sizeof(Parameter*)));
  if (list->param == nullptr) {
    std::free(list);
    return nullptr;
  }
  list->nalloc = InitialSlots;
  return list;
}

int PListAdd(ParamList* list, Parameter* p) {
  if (list == nullptr || list == ParamFileCant || p == nullptr) {
    return -1;
  }
  if (list->nparam + 1 >= list->nalloc) {
    int grown = list->nalloc + GrowSlots;
    auto* slots = static_cast<Parameter**>(
        std::realloc(list->param, static_cast<std::size_t>(grown) * sizeof(Parameter*)));
    if (slots == nullptr) {
      return -1;
    }
    for (int i = list->nalloc; i < grown; ++i) {
      slots[i] = nullptr;
    }
    list->param = slots;
    list->nalloc = grown;
  }
  list->param[list->nparam++] = p;
  list->param[list->nparam] = nullptr;
  return 0;
}

int PListDel(ParamList* list, Parameter* p) {
  if (list == nullptr || list == ParamFileCant || p == nullptr) {
    return -1;
  }
  for (int i = 0; i < list->nparam; ++i) {
    if (list->param[i] == p) {
      for (int j = i; j < list->nparam; ++j) {
        list->param[j] = list->param[j + 1];
      }
      --list->nparam;
      return 0;
    }
  }
  return -1;
}

void PListFree(ParamList* list) {
  if (list == nullptr || list == ParamFileCant) {
    return;
  }
  if (list->param != nullptr) {
    for (int i = 0; i < list->nparam; ++i) {
      ParamFree(list->param[i]);
    }
    std::free(list->param);
  }
  std::free(list->filename);
  std::free(list->mode);
  std::free(list);
}

Parameter* ParamAlloc(void) { return static_cast<Parameter*>(std::calloc(1, sizeof(Parameter))); }

void RangeFree(Range* r) {
  if (r == nullptr) {
    return;
  }
  if (r->check != nullptr && is_text(TypeCode(r->type))) {
    for (int i = 0; i < r->nval; ++i) {
      char* text = nullptr;
      std::memcpy(&text, r->check[i].v, sizeof text);
      std::free(text);
    }
  }
  std::free(r->check);
  std::free(r->str);
  std::free(r);
}

void ValueClear(Value* v) {
  if (v == nullptr) {
    return;
  }
  if (TypeCode(v->type) == RangeType) {
    RangeFree(static_cast<Range*>(v->value));
  } else {
    std::free(v->value);
  }
  std::free(v->indir);
  v->type = VoidType;
  v->value = nullptr;
  v->indir = nullptr;
}

int ValueSetString(Value* v, const char* text) {
  if (v == nullptr) {
    return -1;
  }
  char* copy = nullptr;
  if (text != nullptr) {
    copy = pfile_detail::dup_string(text);
    if (copy == nullptr) {
      return -1;
    }
  }
  ValueClear(v);
  if (copy != nullptr) {
    v->type = StringType;
    v->value = copy;
  }
  return 0;
}

void ParamFree(Parameter* p) {
  if (p == nullptr) {
    return;
  }
  std::free(p->pname);
  ValueClear(&p->pvalue);
  ValueClear(&p->pmin);
  ValueClear(&p->pmax);
  std::free(p->pprompt);
  // An open list file of a list-structured parameter belongs to the record.
  if (p->extension != nullptr) {
    std::fclose(static_cast<FILE*>(p->extension));
  }
  std::free(p);
}

int ParamTypeCode(const char* word) {
  if (word == nullptr) {
    parerr = PARAM_UNKNOWN_TYPE;
    return VoidType;
  }
  int list = 0;
  if (*word == '*') {
    list = ListType;
    ++word;
  }
  static constexpr struct {
    const char* word;
    int code;
  } words[] = {
      {"b", BooleanType}, {"i", IntegerType},     {"r", RealType},    {"s", StringType},
      {"g", GType},       {"struct", StructType}, {"gcur", GcurType}, {"imcur", ImcurType},
      {"mode", ModeType}, {"pset", PsetType},
  };
  for (const auto& w : words) {
    if (std::strcmp(word, w.word) == 0) {
      return w.code | list;
    }
  }
  if (*word == 'f') {
    return FileType | list;
  }
  parerr = PARAM_UNKNOWN_TYPE;
  return VoidType;
}

const char* ParamTypeWord(int ptype, char* buf, int size) {
  pfile_detail::copy_text(pfile_detail::type_word(ptype), buf, size);
  return buf;
}

int ParamModeBits(const char* letters) {
  int mode = 0;
  for (const char* c = letters; c != nullptr && *c != '\0'; ++c) {
    switch (*c) {
      case 'a': mode |= AutoMode; break;
      case 'h': mode |= HiddenMode; break;
      case 'l': mode |= LearnMode; break;
      case 'q': mode |= QueryMode; break;
      default: break;
    }
  }
  if (mode == 0) {
    parerr = PARAM_CANNOT_CONVERT;
  }
  return mode;
}

const char* ParamModeLetters(int mode, char* buf, int size) {
  pfile_detail::copy_text(pfile_detail::mode_letters(mode), buf, size);
  return buf;
}

const char* ValueString(const Value* v, char* buf, int size) {
  pfile_detail::copy_text(pfile_detail::value_text(v), buf, size);
  return buf;
}
