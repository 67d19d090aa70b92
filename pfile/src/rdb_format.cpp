// pfile/src/rdb_format.cpp -- reader and writer of tab-separated parameter files:
// a header of column names, a line of dashes, one parameter per line. Fills the
// same ParamList and Parameter records as the IRAF-syntax reader; comment and
// blank lines have no form here.
#include "rdb_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pfile_int.h"
#include "pfile_value_int.h"

namespace {

using pfile_detail::dup_string;

constexpr const char* kHeader =
    "name\ttype\tmode\tvalue\tmin\tmax\tprompt\n"
    "----\t----\t----\t-----\t---\t---\t------\n";

enum class Column { Name, Type, Mode, Value, Min, Max, Prompt };
constexpr int kColumns = 7;
constexpr std::array<std::string_view, kColumns> kColumnWords = {"name", "type", "mode",  "value",
                                                                 "min",  "max",  "prompt"};

// The meaning of each column of one file, from its header, and the widths of
// the dash runs under them.
struct Header {
  int ncol = 0;
  std::array<Column, kColumns> column{};
  std::array<int, kColumns> width{};
};

// Lines without their newlines; a final newline does not start another line.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string_view> splitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

// Every column word must be one of the seven names, each at most once.
bool parseHeader(std::string_view line, Header& h) {
  std::vector<std::string_view> words = splitTabs(line);
  if (words.size() > kColumns) return false;
  std::array<bool, kColumns> seen{};
  for (std::string_view w : words) {
    int k = 0;
    while (k < kColumns && kColumnWords[static_cast<size_t>(k)] != w) ++k;
    if (k == kColumns || seen[static_cast<size_t>(k)]) return false;
    seen[static_cast<size_t>(k)] = true;
    h.column[static_cast<size_t>(h.ncol++)] = static_cast<Column>(k);
  }
  return true;
}

// Records the dash widths; anything else on the line is shown on standard output.
void readDashes(std::string_view line, Header& h) {
  size_t col = 0;
  for (char c : line) {
    if (c == '\t') {
      ++col;
    } else if (c == '-') {
      if (col < h.width.size()) ++h.width[col];
    } else {
      pfile_detail::stream_printf(stdout, "%c", c);
    }
  }
}

enum class LineResult { Added, Skipped, Failed };

int setOptional(Value* v, std::optional<std::string_view> field) {
  if (!field || field->empty()) return 0;
  return ValueSetString(v, std::string(*field).c_str());
}

// One data line. All fields are gathered first, so the columns may come in any
// order; fields beyond the header's columns have no meaning and are ignored.
LineResult readRecord(std::string_view line, const Header& h, ParamList* list) {
  std::array<std::optional<std::string_view>, kColumns> field;
  std::vector<std::string_view> fields = splitTabs(line);
  for (size_t i = 0; i < fields.size() && i < static_cast<size_t>(h.ncol); ++i) {
    field[static_cast<size_t>(h.column[i])] = fields[i];
  }
  auto text = [&field](Column c) {
    const auto& f = field[static_cast<size_t>(c)];
    return f ? std::string(*f) : std::string();
  };

  std::string name = text(Column::Name);
  if (name.empty()) return LineResult::Skipped;  // no record without a name

  int saved = parerr;
  int type = ParamTypeCode(text(Column::Type).c_str());
  int mode = type != VoidType ? ParamModeBits(text(Column::Mode).c_str()) : 0;
  if (type == VoidType || mode == 0) {
    c_paramerr(0, "rdb parser", name.c_str());
    return LineResult::Skipped;
  }
  parerr = saved;

  Parameter* p = ParamAlloc();
  if (p == nullptr) return LineResult::Failed;
  p->pname = dup_string(name.c_str());
  p->ptype = type;
  p->pmode = mode;
  bool ok = p->pname != nullptr && ValueSetString(&p->pvalue, text(Column::Value).c_str()) == 0 &&
            setOptional(&p->pmin, field[static_cast<size_t>(Column::Min)]) == 0 &&
            setOptional(&p->pmax, field[static_cast<size_t>(Column::Max)]) == 0;
  std::string prompt = text(Column::Prompt);
  if (ok && !prompt.empty()) {
    p->pprompt = dup_string(prompt.c_str());
    ok = p->pprompt != nullptr;
  }
  if (!ok || PListAdd(list, p) != 0) {
    ParamFree(p);
    return LineResult::Failed;
  }
  return LineResult::Added;
}

// Parses a whole stream; null when the header is bad or no parameter line remains.
ParamList* RDBParFile(FILE* stream) {
  std::string text = pfile_detail::read_stream(stream);
  // Fields are kept as C strings, which a NUL byte would silently cut.
  if (size_t at = text.find('\0'); at != std::string::npos) {
    pfile_detail::stream_printf(
        stderr, "Error in parameter file: line %d: NUL byte\n",
        1 + static_cast<int>(
                std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n')));
    return nullptr;
  }
  std::vector<std::string_view> lines = splitLines(text);
  Header h;
  if (lines.empty() || !parseHeader(lines[0], h)) return nullptr;
  if (lines.size() > 1) readDashes(lines[1], h);

  ParamList* list = PListCreate();
  if (list == nullptr) return nullptr;
  for (size_t i = 2; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (list->nparam >= pfile_detail::MaxFileRecords) {
      pfile_detail::stream_printf(stderr, "Error in parameter file: more than %d lines\n",
                                  pfile_detail::MaxFileRecords);
      PListFree(list);
      return nullptr;
    }
    if (readRecord(lines[i], h, list) == LineResult::Failed) {
      PListFree(list);
      return nullptr;
    }
  }
  if (list->nparam == 0) {
    PListFree(list);
    return nullptr;
  }
  return list;
}

// The line of one record; comment records have no form here and give "".
std::string recordLine(const Parameter* p) {
  if (TypeCode(p->ptype) == CommentType) return {};
  const std::array<std::string, kColumns> fields = {
      p->pname != nullptr ? p->pname : "",     pfile_detail::type_word(p->ptype),
      pfile_detail::mode_letters(p->pmode),    pfile_detail::value_text(&p->pvalue),
      pfile_detail::value_text(&p->pmin),      pfile_detail::value_text(&p->pmax),
      p->pprompt != nullptr ? p->pprompt : "",
  };
  // A field may hold neither tab nor newline; they are written as the library's
  // value escapes, which a string get turns back into the characters.
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += pfile_detail::escape_value(fields[i]);
  }
  line += '\n';
  return line;
}

}  // namespace

ParamList* RDBParOpen(const char* filename, const char* mode) {
  if (filename == nullptr) return nullptr;
  const char* found = c_paramfind(filename, "r", ".rdb", pfile_detail::DefaultSearchPath);
  if (found == nullptr) return nullptr;
  std::string path = found;  // the search result lives in a shared static buffer
  return pfile_detail::open_list_file(path.c_str(), mode, RDBParFile, RDBParRead, RDBParWrit);
}

ParamList* RDBParRead(FILE* stream, const char* /*mode*/) {
  if (stream == nullptr) return nullptr;
  std::rewind(stream);
  return RDBParFile(stream);
}

void RDBParWrit(FILE* stream, ParamList* list, const char* /*mode*/) {
  if (stream == nullptr || list == nullptr || list == ParamFileCant) return;
  pfile_detail::rewrite_stream(stream, list, kHeader, recordLine);
}
