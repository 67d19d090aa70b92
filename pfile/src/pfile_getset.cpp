// Getting and setting parameter values: field suffixes, the effective mode, the
// command-line list, learning, the query on the terminal and the
// validate-or-ask loop, and the typed getters and setters built on them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pfile/pfile.h"
#include "pfile/readline.h"
#include "pfile_int.h"
#include "pfile_value_int.h"

using pfile_detail::Field;

namespace {

// Replies that leave a failing value as it was; beyond this many in a row the
// get gives up, so a terminal that only yields end of file cannot loop forever.
constexpr int MaxEmptyReplies = 100;

char (&conversion)[ParamConvertSize] = pfile_detail::state.conversion;

// Gets in progress (a reference makes one get run inside another); the
// outermost one starts with no reference cycle noted.
int& get_depth = pfile_detail::state.get_depth;
struct GetDepth {
  GetDepth() {
    if (get_depth++ == 0) pfile_detail::clear_cycle();
  }
  ~GetDepth() { --get_depth; }
  GetDepth(const GetDepth&) = delete;
  GetDepth& operator=(const GetDepth&) = delete;
};

int effective_mode(int pmode, int task) {
  int eff;
  if (pmode & AutoMode) {
    eff = task & ~NoQueryMode;
    if (task & HiddenMode) eff |= LearnMode;
  } else {
    eff = pmode;
    if (eff & HiddenMode) eff &= ~LearnMode;
  }
  if ((task & (HiddenMode | NoQueryMode)) || (eff & (HiddenMode | NoQueryMode))) {
    eff &= ~QueryMode;
  }
  return eff | (task & NoQueryMode);
}

// The limit must be present and not empty text to be checked.
bool limit_given(const Value& v) {
  if (!pfile_detail::is_present(&v)) return false;
  if (v.indir == nullptr && pfile_detail::is_text(TypeCode(v.type)) && v.value != nullptr) {
    return static_cast<const char*>(v.value)[0] != '\0';
  }
  return true;
}

// Makes a limit ready for checks: resolved first when resolve is set (a set
// stores a reference as given), a minimum holding an enumeration turned into its
// Range, any other limit converted to p's type when that type compares.
bool prepare_limit(ParamFile* file, Parameter* p, Value* lim, bool is_min, bool resolve) {
  parerr = PARAM_OK;
  if (resolve && !VDirect(file, p, lim)) return false;
  if (is_min) {
    if (VRange(file, p, lim) != nullptr) return true;
    if (parerr != PARAM_OK) return false;
  }
  int type = TypeCode(p->ptype);
  return VTypeList[type].compare == nullptr || pfile_detail::convert_value(lim, type);
}

}  // namespace

namespace pfile_detail {

// Minimum and maximum, or the enumeration, of p against v.
bool check_limits(ParamFile* file, Parameter* p, Value* v) {
  bool has_min = limit_given(p->pmin);
  bool has_max = limit_given(p->pmax);
  if (has_min) {
    if (!prepare_limit(file, p, &p->pmin, true, true)) return false;
    if (TypeCode(p->pmin.type) == RangeType) {
      if (has_max) {
        parerr = PARAM_RANGE_AND_MAX;
        return false;
      }
      return VInRange(static_cast<Range*>(p->pmin.value), v) != 0;
    }
  }
  if (has_max && !prepare_limit(file, p, &p->pmax, false, true)) return false;
  return PRangeMinMax(v, has_min ? &p->pmin : nullptr, has_max ? &p->pmax : nullptr) != 0;
}

}  // namespace pfile_detail

namespace {

using pfile_detail::check_limits;

// Opens the file named by v for a list-structured parameter.
bool open_list_file(ParamFile* file, Parameter* p, Value* v) {
  if (!VDirect(file, p, v) || !pfile_detail::convert_value(v, StringType)) return false;
  FILE* f = std::fopen(static_cast<const char*>(v->value), "r");
  if (f == nullptr) {
    parerr = PARAM_LIST_FILE_OPEN;
    return false;
  }
  if (p->extension != nullptr) std::fclose(static_cast<FILE*>(p->extension));
  p->extension = f;
  p->phook = NextListValue;
  return true;
}

void forget_list_file(Parameter* p) {
  if (p->extension != nullptr) std::fclose(static_cast<FILE*>(p->extension));
  p->extension = nullptr;
  p->phook = nullptr;
}

// Runs check on *target until it passes, asking the user again while that is
// allowed. target may move to p's stored value once the user was asked.
template <typename Check>
bool check_or_ask(ParamFile* file, Parameter* p, Value*& target, Value* ask_into, int eff,
                  Check check) {
  int empty = 0;
  while (!check(target)) {
    if ((eff & NoQueryMode) || pfile_detail::cycle_met() || ++empty > MaxEmptyReplies) {
      return false;
    }
    int r = PQueryUser(file, p, ask_into);
    if (r < 0) {
      return false;  // no terminal: nobody can mend the value
    }
    if (r > 0) empty = 0;
    target = ask_into;
  }
  return true;
}

// The plain value: command line, query, validation, learning.
const Value* get_value(ParamFile* file, Parameter* p, Parameter* arg, int eff) {
  bool ask = (eff & QueryMode) != 0;
  if (arg != nullptr && (arg->pmode & QueryMode)) {
    arg = nullptr;  // "name=" asks for the value
    ask = (eff & NoQueryMode) == 0;
  }
  Value* target = arg != nullptr ? &arg->pvalue : &p->pvalue;
  if (p->ptype & ListType) {
    if (p->phook == nullptr) {
      if (arg == nullptr && ask && PQueryUser(file, p, &p->pvalue) < 0) {
        ask = false;
      }
      auto opens = [&](Value* v) { return open_list_file(file, p, v); };
      if (!check_or_ask(file, p, target, &p->pvalue, eff, opens)) return nullptr;
    }
    return p->phook(file, p);
  }
  if (arg == nullptr && ask) {
    PQueryUser(file, p, &p->pvalue);
  }
  auto valid = [&](Value* v) { return Validate(file, p, v) != 0; };
  if (!check_or_ask(file, p, target, &p->pvalue, eff, valid)) return nullptr;
  if (arg != nullptr && target == &arg->pvalue && (eff & LearnMode)) {
    forget_list_file(p);
    if (!pfile_detail::copy_value(&p->pvalue, &arg->pvalue)) return nullptr;
  }
  return target;
}

// A limit: the enumeration or the limit converted to the parameter's type.
const Value* get_limit(ParamFile* file, Parameter* p, Value* lim, bool is_min, int eff) {
  if (!limit_given(*lim)) {
    return lim;  // absent or empty: read as the empty text
  }
  auto usable = [&](Value* v) { return prepare_limit(file, p, v, is_min, true); };
  Value* target = lim;
  if (!check_or_ask(file, p, target, lim, eff, usable)) return nullptr;
  return target;
}

// The result of a get converted into the conversion buffer.
void* deliver(const Value* v, int type) {
  pfile_detail::Datum d;
  if (!pfile_detail::convert_data(v, type, d)) {
    return nullptr;
  }
  if (d.type == StringType) {
    d.s = pfile_detail::unescape_value(d.s);
  }
  return pfile_detail::store_datum(d, conversion);
}

// The answer typed by the user, as it is stored.
std::string reply_value(const char* line) {
  if (std::strcmp(line, "\"\"") == 0) {
    return {};
  }
  return pfile_detail::escape_value(line);
}

}  // namespace

namespace pfile_detail {

std::string shown_value(ParamFile* file, Parameter* p, const Value* v) {
  std::string ref = value_text(v);
  if (!is_indirect(v)) {
    return ref;
  }
  Value copy{};
  std::string resolved = "INDEF";
  if (copy_value(&copy, v)) {
    // Showing must never ask the user.
    int saved = file->mode;
    file->mode |= NoQueryMode;
    if (VDirect(file, p, &copy)) {
      Value plain{copy.type, copy.value, nullptr};
      resolved = value_text(&plain);
    }
    file->mode = saved;
  }
  ValueClear(&copy);
  parerr = PARAM_OK;
  return ref + " -> " + resolved;
}

}  // namespace pfile_detail

int Validate(ParamFile* file, Parameter* p, Value* v) {
  pfile_detail::install_value_access();
  if (file == nullptr || p == nullptr || v == nullptr) {
    return 0;
  }
  int type = TypeCode(p->ptype);
  if (type < 0 || type >= NTypes || VTypeList[type].access == nullptr) {
    parerr = PARAM_NO_CONVERTER;
    return 0;
  }
  if (VTypeList[type].access(file, p, type, v) == nullptr) {
    return 0;
  }
  return check_limits(file, p, v) ? 1 : 0;
}

int PQueryUser(ParamFile* file, Parameter* p, Value* target) {
  if (file == nullptr || p == nullptr || target == nullptr) {
    return -1;
  }
  if (parerr != PARAM_OK) {
    c_paramerr(0, "pquery", p->pname);
  }
  std::string prompt =
      p->pprompt != nullptr && p->pprompt[0] != '\0' ? p->pprompt : (p->pname ? p->pname : "");
  if (limit_given(p->pmin) || limit_given(p->pmax)) {
    prompt +=
        " (" + pfile_detail::value_text(&p->pmin) + ":" + pfile_detail::value_text(&p->pmax) + ")";
  }
  std::string current = pfile_detail::shown_value(file, p, target);
  if (current.empty() || current[0] != ')') {
    prompt += " (";
  }
  prompt += current + "): ";

  hist* history = nullptr;
  history = add_history(history, pfile_detail::value_text(target).c_str());
  if (target->indir != nullptr) {
    std::size_t arrow = current.find(" -> ");
    if (arrow != std::string::npos) {
      history = add_history(history, current.substr(arrow + 4).c_str());
    }
  }
  history = add_history(history, current.c_str());

  char line[READLINE_BUFSIZE];
  int n = readline(prompt.c_str(), line, sizeof line, history);
  while (history != nullptr && history->prev != nullptr) {
    history = history->prev;
  }
  kil_history(history);
  if (n <= 0) {
    parerr = PARAM_OK;
    return n < 0 ? -1 : 0;
  }
  line[sizeof line - 1] = '\0';
  // A new value is followed afresh: it replaces any indirect reference.
  if (ValueSetString(target, reply_value(line).c_str()) != 0) {
    return 0;
  }
  if (target == &p->pvalue) {
    forget_list_file(p);
  }
  parerr = PARAM_OK;
  return 1;
}

void* ParamGetX(ParamFile* file, const char* name, int type, int* mode) {
  pfile_detail::install_value_access();
  if (file == nullptr || name == nullptr) {
    return nullptr;
  }
  std::string base;
  Field field = pfile_detail::split_field(name, base);
  if (field == Field::Bad) {
    parerr = PARAM_BAD_SUBFIELD;
    return nullptr;
  }
  Parameter* p = ParamLookup(file->psets, base.c_str());
  if (p == nullptr) {
    return nullptr;
  }
  GetDepth depth;
  int task = mode != nullptr ? *mode : file->mode;
  int eff = effective_mode(p->pmode, task);
  Parameter* arg = ParamLookup(file->alist, name);
  parerr = PARAM_OK;

  const Value* result = nullptr;
  Value temp{};
  switch (field) {
    case Field::Value: result = get_value(file, p, arg, eff); break;
    case Field::PValue: result = &p->pvalue; break;
    case Field::Min: result = get_limit(file, p, &p->pmin, true, eff); break;
    case Field::Max: result = get_limit(file, p, &p->pmax, false, eff); break;
    case Field::Mode:
      temp = Value{ModeType, &p->pmode, nullptr};
      result = &temp;
      break;
    case Field::Prompt:
      temp = Value{StringType, p->pprompt ? p->pprompt : const_cast<char*>(""), nullptr};
      result = &temp;
      break;
    case Field::Bad: break;
  }
  if (result == nullptr) {
    return nullptr;
  }
  return deliver(result, type);
}

int ParamSetX(ParamFile* file, const char* name, int type, const void* value) {
  pfile_detail::install_value_access();
  if (file == nullptr || name == nullptr) {
    return -1;
  }
  std::string base;
  Field field = pfile_detail::split_field(name, base);
  if (field == Field::Bad) {
    parerr = PARAM_BAD_SUBFIELD;
    return -1;
  }
  Parameter* p = ParamLookup(file->psets, base.c_str());
  if (p == nullptr) {
    return -1;
  }
  GetDepth depth;
  parerr = PARAM_OK;
  pfile_detail::Datum d;
  type = TypeCode(type);
  if (!pfile_detail::convert(value, type, type, d)) {
    return -1;
  }
  if (type == StringType) {
    d.s = pfile_detail::escape_value(d.s);
  }
  Value fresh{};
  fresh.value = pfile_detail::make_data(d);
  fresh.type = fresh.value != nullptr ? type : VoidType;
  int eff = effective_mode(p->pmode, file->mode);
  Value* target = &fresh;
  bool ok = false;
  switch (field) {
    case Field::Value:
    case Field::PValue: {
      forget_list_file(p);
      if (p->ptype & ListType || field == Field::PValue) {
        ok = true;  // a list parameter's value is its file's name, opened on the next get
      } else {
        auto valid = [&](Value* v) { return Validate(file, p, v) != 0; };
        ok = check_or_ask(file, p, target, &fresh, eff, valid);
      }
      if (ok) {
        std::swap(p->pvalue, *target);
      }
      break;
    }
    case Field::Min:
    case Field::Max: {
      bool is_min = field == Field::Min;
      auto usable = [&](Value* v) { return prepare_limit(file, p, v, is_min, false); };
      ok = check_or_ask(file, p, target, &fresh, eff, usable);
      if (ok) {
        std::swap(is_min ? p->pmin : p->pmax, *target);
      }
      break;
    }
    case Field::Prompt:
      ok = pfile_detail::convert_value(&fresh, StringType);
      if (ok) {
        std::free(p->pprompt);
        p->pprompt = static_cast<char*>(fresh.value);
        fresh.value = nullptr;
      }
      break;
    case Field::Mode:
      ok = pfile_detail::convert_value(&fresh, ModeType);
      if (ok) {
        std::memcpy(&p->pmode, fresh.value, sizeof p->pmode);
      }
      break;
    case Field::Bad: break;
  }
  ValueClear(&fresh);
  return ok ? 0 : -1;
}

// ---- typed getters and setters --------------------------------------------

namespace {

const void* typed_get(ParamFile* file, const char* name, int type) {
  const void* got = file != nullptr ? ParamGetX(file, name, type, &file->mode) : nullptr;
  if (got == nullptr) {
    c_paramerr(1, "pgetX", name);
  }
  return got;
}

void typed_put(ParamFile* file, const char* name, int type, const void* value) {
  if (ParamSetX(file, name, type, value) != 0) {
    c_paramerr(1, "psetX", name);
  }
}

template <typename T>
T read_as(const void* data) {
  T v{};
  if (data != nullptr) std::memcpy(&v, data, sizeof v);
  return v;
}

constexpr short IndefShort = -32767;
constexpr float IndefFloat = static_cast<float>(IndefReal);

}  // namespace

int c_pgetb(ParamFile* file, const char* name) {
  return read_as<int>(typed_get(file, name, BooleanType));
}

short c_pgets(ParamFile* file, const char* name) {
  const void* got = typed_get(file, name, IntegerType);
  if (got == nullptr) return 0;
  int v = read_as<int>(got);
  return v == IndefInt ? IndefShort : static_cast<short>(v);
}

int c_pgeti(ParamFile* file, const char* name) {
  return read_as<int>(typed_get(file, name, IntegerType));
}

float c_pgetf(ParamFile* file, const char* name) {
  const void* got = typed_get(file, name, RealType);
  if (got == nullptr) return 0.0f;
  double v = read_as<double>(got);
  return v == IndefReal ? IndefFloat : static_cast<float>(v);
}

double c_pgetd(ParamFile* file, const char* name) {
  return read_as<double>(typed_get(file, name, RealType));
}

char* c_pgetstr(ParamFile* file, const char* name, char* str, int max) {
  const void* got = typed_get(file, name, StringType);
  if (got == nullptr || str == nullptr || max <= 0) {
    return got != nullptr ? str : nullptr;
  }
  // Bounded copy: a shorter value is zero-padded, a value of max characters or
  // more fills str without a terminator.
  const char* text = static_cast<const char*>(got);
  std::size_t n = strnlen(text, static_cast<std::size_t>(max));
  std::memcpy(str, text, n);
  std::memset(str + n, 0, static_cast<std::size_t>(max) - n);
  return str;
}

void c_pputb(ParamFile* file, const char* name, int value) {
  int b = value != 0;
  typed_put(file, name, BooleanType, &b);
}

void c_pputs(ParamFile* file, const char* name, short value) {
  int v = value == IndefShort ? IndefInt : value;
  typed_put(file, name, IntegerType, &v);
}

void c_pputi(ParamFile* file, const char* name, int value) {
  typed_put(file, name, IntegerType, &value);
}

void c_pputf(ParamFile* file, const char* name, float value) {
  double v = value == IndefFloat ? IndefReal : static_cast<double>(value);
  typed_put(file, name, RealType, &v);
}

void c_pputd(ParamFile* file, const char* name, double value) {
  typed_put(file, name, RealType, &value);
}

void c_pputstr(ParamFile* file, const char* name, const char* value) {
  typed_put(file, name, StringType, value != nullptr ? value : "");
}
