// Reader and writer of IRAF-syntax parameter files: a scanner with
// field-dependent states, a recursive-descent parser building one record per
// line (comments and blank lines included), and the writer that reproduces them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pfile/pfile.h"
#include "pfile_int.h"

using pfile_detail::dup_string;

namespace {

// Longest text of one word or quoted string; longer ones are refused so that
// values always fit the fixed 2048-byte buffers of the value-access layer.
// Counted as stored, with each escaped quote one character, so that the
// writer's escapes never make a value it writes back too long to read.
constexpr std::size_t MaxWordLength = 2047;

// Length of text once its escaped quotes are undone (ESCUnQuote).
std::size_t stored_length(const std::string& text) {
  std::size_t escapes = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && text[i + 1] == '"') {
      ++escapes;
      ++i;
    }
  }
  return text.size() - escapes;
}

constexpr const char* FieldNames[] = {"Name", "Type", "Mode", "Value", "Min", "Max", "Prompt"};
constexpr int NFields = 7;

enum class Tok { Word, Comma, Eol, Comment, StructKw, StructText, End, Error };

struct Token {
  Tok kind = Tok::End;
  std::string text;
  int line = 1;   // line the token belongs to
  int field = 0;  // field counter after the token (before the reset of an end of line)
};

class Scanner {
 public:
  explicit Scanner(std::string text) : buf_(std::move(text)) {}

  // The next line is a struct text line (set by the parser after a struct parameter line).
  void expect_struct_text() { struct_next_ = true; }
  bool empty() const { return buf_.empty(); }
  // Line of the first NUL byte, or 0 when there is none. Names and values are
  // kept as C strings, so a NUL would silently cut them (an empty name cannot
  // even be written back).
  int nul_line() const {
    std::size_t at = buf_.find('\0');
    if (at == std::string::npos) {
      return 0;
    }
    return 1 + static_cast<int>(
                   std::count(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  }

  Token next() {
    Token t;
    t.line = line_;
    if (pos_ >= buf_.size()) {
      // A last line without its newline still ends there.
      if (!line_start_) {
        return end_of_line(t, false);
      }
      t.kind = Tok::End;
      t.field = field_;
      return t;
    }
    if (line_start_) {
      line_start_ = false;
      bool struct_line = struct_next_;
      struct_next_ = false;
      if (buf_[pos_] == '#') {
        return comment(t, line_end());
      }
      std::size_t j = pos_;
      while (j < buf_.size() && (buf_[j] == ' ' || buf_[j] == '\t')) {
        ++j;
      }
      if (j > pos_ && (j == buf_.size() || buf_[j] == '\n')) {
        return comment(t, j);
      }
      if (struct_line && buf_[pos_] != '\n') {
        std::size_t end = line_end();
        t.kind = Tok::StructText;
        t.text = buf_.substr(pos_, end - pos_);
        t.field = field_;
        pos_ = end;
        return t;
      }
    }
    if (field_ == 1 || field_ == 0 || field_ == 2) {
      skip_blanks();
    }
    if (pos_ >= buf_.size()) {
      return end_of_line(t, false);
    }
    char c = buf_[pos_];
    if (c == '\n') {
      return end_of_line(t, true);
    }
    if (c == ',') {
      ++pos_;
      ++field_;
      t.kind = Tok::Comma;
      t.field = field_;
      return t;
    }
    t.field = field_;
    if (field_ <= 2) {
      return name_word(t);
    }
    // Blanks and tabs before a quoted field belong to the layout, not to a
    // word: mission tools write "infile, f, a, "", , , "Input file"".
    std::size_t q = blanks_end(pos_);
    if (q < buf_.size() && (buf_[q] == '"' || buf_[q] == '\'')) {
      pos_ = q;
      c = buf_[pos_];
    }
    if (c == '"' || c == '\'') {
      return quoted(t, c);
    }
    return value_word(t);
  }

 private:
  std::size_t line_end() const {
    std::size_t e = buf_.find('\n', pos_);
    return e == std::string::npos ? buf_.size() : e;
  }

  Token comment(Token& t, std::size_t end) {
    t.kind = Tok::Comment;
    t.text = buf_.substr(pos_, end - pos_);
    t.field = field_;
    pos_ = end;
    return t;
  }

  Token end_of_line(Token& t, bool consume) {
    t.kind = Tok::Eol;
    t.field = field_;
    if (consume) {
      ++pos_;
    }
    ++line_;
    field_ = 0;
    line_start_ = true;
    return t;
  }

  void skip_blanks() { pos_ = blanks_end(pos_); }

  // First position at or after from that is not a blank or a tab.
  std::size_t blanks_end(std::size_t from) const {
    while (from < buf_.size() && (buf_[from] == ' ' || buf_[from] == '\t')) {
      ++from;
    }
    return from;
  }

  Token too_long(Token& t) {
    t.kind = Tok::Error;
    return t;
  }

  // Name, type and mode fields: a run of characters other than blank, tab, comma, newline.
  Token name_word(Token& t) {
    std::size_t start = pos_;
    while (pos_ < buf_.size() && buf_[pos_] != ' ' && buf_[pos_] != '\t' && buf_[pos_] != ',' &&
           buf_[pos_] != '\n') {
      ++pos_;
    }
    t.text = buf_.substr(start, pos_ - start);
    if (t.text.size() > MaxWordLength) {
      return too_long(t);
    }
    t.kind = (field_ == 1 && t.text == "struct") ? Tok::StructKw : Tok::Word;
    return t;
  }

  // Value fields: blanks belong to the word. A backslash before a double quote
  // keeps the quote in the word, which is how the writer escapes quotes in
  // unquoted fields; such text could not be read any other way.
  Token value_word(Token& t) {
    std::size_t start = pos_;
    while (pos_ < buf_.size()) {
      char c = buf_[pos_];
      if (c == '\\' && pos_ + 1 < buf_.size() && buf_[pos_ + 1] == '"') {
        pos_ += 2;
        continue;
      }
      if (c == ',' || c == '"' || c == '\'' || c == '\n') {
        break;
      }
      ++pos_;
    }
    t.text = buf_.substr(start, pos_ - start);
    if (stored_length(t.text) > MaxWordLength) {
      return too_long(t);
    }
    t.kind = Tok::Word;
    return t;
  }

  // Quoted string: newlines included, a backslash and its follower copied as a pair.
  Token quoted(Token& t, char quote) {
    std::size_t i = pos_ + 1;
    std::string text;
    while (i < buf_.size() && buf_[i] != quote) {
      if (buf_[i] == '\\' && i + 1 < buf_.size()) {
        text += buf_[i];
        ++i;
      }
      text += buf_[i];
      ++i;
      if (text.size() > 2 * MaxWordLength + 1) {
        return too_long(t);  // too long whatever its escapes
      }
    }
    if (i >= buf_.size()) {
      t.kind = Tok::Error;  // no closing quote before the end of the file
      return t;
    }
    if (stored_length(text) > MaxWordLength) {
      return too_long(t);
    }
    // Messages name the physical line, so newlines inside the string count too.
    line_ += static_cast<int>(std::count(buf_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                         buf_.begin() + static_cast<std::ptrdiff_t>(i), '\n'));
    pos_ = i + 1;
    // Blanks and tabs between the closing quote and the end of the field are
    // layout too; any other text there is still a second word in the field.
    std::size_t after = blanks_end(pos_);
    if (after == buf_.size() || buf_[after] == ',' || buf_[after] == '\n') {
      pos_ = after;
    }
    t.kind = Tok::Word;
    t.text = std::move(text);
    return t;
  }

  std::string buf_;
  std::size_t pos_ = 0;
  int line_ = 1;
  int field_ = 0;
  bool line_start_ = true;
  bool struct_next_ = false;
};

void report(const Token& t) {
  if (t.field >= NFields) {
    pfile_detail::stream_printf(stderr, "Error in parameter file: line %d: too many fields\n",
                                t.line);
  } else {
    pfile_detail::stream_printf(stderr, "Error in parameter file: line %d: field %s\n", t.line,
                                FieldNames[t.field]);
  }
}

// Comment or blank-line record holding the line's text.
Parameter* comment_record(const char* name, const std::string& text) {
  Parameter* p = ParamAlloc();
  if (p == nullptr) {
    return nullptr;
  }
  p->ptype = CommentType;
  p->pname = dup_string(name);
  p->pvalue.type = StringType;
  p->pvalue.value = dup_string(text.c_str());
  return p;
}

// A present field (min, max, prompt) with the writer's quote escapes removed.
char* unescaped(const std::string& text) {
  char* s = dup_string(text.c_str());
  ESCUnQuote(s);
  return s;
}

class Parser {
 public:
  explicit Parser(std::string text) : scan_(std::move(text)) {}

  ParamList* parse() {
    ParamList* list = PListCreate();
    if (list == nullptr) {
      return nullptr;
    }
    if (int line = scan_.nul_line()) {
      pfile_detail::stream_printf(stderr, "Error in parameter file: line %d: NUL byte\n", line);
      PListFree(list);
      return nullptr;
    }
    Token t = scan_.next();
    if (t.kind == Tok::End) {
      report(t);  // a file needs at least one line
      PListFree(list);
      return nullptr;
    }
    while (t.kind != Tok::End) {
      bool ok = true;
      switch (t.kind) {
        case Tok::Eol: ok = add(list, comment_record("", "")); break;
        case Tok::Comment: {
          std::string text = t.text;
          t = scan_.next();
          if (t.kind != Tok::Eol) {
            report(t);
            ok = false;
            break;
          }
          ok = add(list, comment_record(!text.empty() && text[0] == '#' ? "#" : "", text));
          break;
        }
        case Tok::Word: ok = parameter_line(list, t); break;
        default:
          report(t);
          ok = false;
          break;
      }
      if (!ok) {
        PListFree(list);
        return nullptr;
      }
      t = scan_.next();
    }
    if (list->nparam == 0) {
      // Every line was dropped: the file would be written back empty, which
      // no longer reads, so it is refused like an empty file.
      pfile_detail::stream_printf(stderr, "Error in parameter file: no parameter line\n");
      PListFree(list);
      return nullptr;
    }
    return list;
  }

 private:
  bool add(ParamList* list, Parameter* p) {
    if (p != nullptr && list->nparam >= pfile_detail::MaxFileRecords) {
      ParamFree(p);
      pfile_detail::stream_printf(stderr, "Error in parameter file: more than %d lines\n",
                                  pfile_detail::MaxFileRecords);
      return false;
    }
    if (p == nullptr || PListAdd(list, p) != 0) {
      ParamFree(p);
      pfile_detail::stream_printf(stderr, "Error in parameter file: out of memory\n");
      return false;
    }
    return true;
  }

  bool expect(Tok kind, Token& t) {
    t = scan_.next();
    if (t.kind != kind) {
      report(t);
      return false;
    }
    return true;
  }

  // name , type , mode , [value] tail EOL  (and the text line of a struct parameter)
  bool parameter_line(ParamList* list, const Token& name_tok) {
    Token t;
    if (!expect(Tok::Comma, t)) return false;
    t = scan_.next();
    if (t.kind != Tok::Word && t.kind != Tok::StructKw) {
      report(t);
      return false;
    }
    bool is_struct = t.kind == Tok::StructKw;
    std::string type_word = t.text;
    if (!expect(Tok::Comma, t)) return false;
    if (!expect(Tok::Word, t)) return false;
    std::string mode_word = t.text;
    if (!expect(Tok::Comma, t)) return false;

    std::string value;
    t = scan_.next();
    if (t.kind == Tok::Word) {
      value = t.text;
      t = scan_.next();
    } else if (is_struct) {
      report(t);  // the value field of a struct line is required
      return false;
    }

    // Tail: up to three items "," [word] for min, max and prompt.
    bool present[3] = {false, false, false};
    std::string fields[3];
    int items = 0;
    while (t.kind == Tok::Comma) {
      if (items == 3) {
        report(t);  // the eighth field
        return false;
      }
      t = scan_.next();
      if (t.kind == Tok::Word) {
        present[items] = true;
        fields[items] = t.text;
        t = scan_.next();
      }
      ++items;
    }
    if (t.kind != Tok::Eol) {
      report(t);
      return false;
    }
    if (is_struct) {
      scan_.expect_struct_text();
      t = scan_.next();
      if (t.kind == Tok::StructText) {
        value = t.text;
        if (!expect(Tok::Eol, t)) return false;
      } else if (t.kind == Tok::Eol) {
        value.clear();
      } else {
        report(t);
        return false;
      }
    }

    Parameter* rec = ParamAlloc();
    if (rec == nullptr) {
      return add(list, nullptr);
    }
    if (present[0]) {
      rec->pmin.type = StringType;
      rec->pmin.value = unescaped(fields[0]);
    }
    if (present[1]) {
      rec->pmax.type = StringType;
      rec->pmax.value = unescaped(fields[1]);
    }
    if (present[2]) {
      rec->pprompt = unescaped(fields[2]);
    }
    int saved = parerr;
    int type = ParamTypeCode(type_word.c_str());
    int mode = ParamModeBits(mode_word.c_str());
    if (type != VoidType && mode != 0) {
      parerr = saved;  // a good line leaves the error code alone
    }
    Parameter* p =
        ParamCreate(dup_string(name_tok.text.c_str()), type, mode, dup_string(value.c_str()), rec);
    // A dropped line (unknown type, no mode letter) does not fail the file.
    return p == nullptr || add(list, p);
  }

  Scanner scan_;
};

// The scanner reads a quoted string as everything up to the first quote not
// preceded by a pairing backslash; true when esc followed by that quote reads back whole.
bool reads_back_quoted(const std::string& esc, char quote) {
  std::size_t i = 0;
  while (i < esc.size()) {
    if (esc[i] == '\\') {
      i += 2;
      continue;
    }
    if (esc[i] == quote) {
      return false;
    }
    ++i;
  }
  return i == esc.size();
}

// True when esc reads back as one unquoted value word equal to itself.
bool reads_back_unquoted(const std::string& esc) {
  if (esc.empty()) {
    return false;
  }
  for (std::size_t i = 0; i < esc.size(); ++i) {
    char c = esc[i];
    if (c == ',' || c == '\'' || c == '\n') {
      return false;
    }
    if (c == '"' && (i == 0 || esc[i - 1] != '\\')) {
      return false;
    }
  }
  return true;
}

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '"') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

std::string in_quotes(const std::string& esc, char quote) { return quote + esc + quote; }

// One field as written: quoted when asked for, otherwise plain. When that
// form would not read back (a plain text with a comma, a single quote or a
// newline, or present but empty; a quoted text whose backslashes would pair
// with a quote), the first other form that does is used: plain, double-quoted,
// single-quoted. A text that no form carries is written in the asked-for form.
std::string field_text(const std::string& text, bool quote, bool empty_is_absent) {
  std::string esc = escape(text);
  if (text.empty() && empty_is_absent && !quote) {
    return {};
  }
  bool plain_ok = reads_back_unquoted(esc);
  bool double_ok = reads_back_quoted(esc, '"');
  if (quote ? double_ok : plain_ok) {
    return quote ? in_quotes(esc, '"') : esc;
  }
  if (plain_ok) {
    return esc;
  }
  if (double_ok) {
    return in_quotes(esc, '"');
  }
  if (reads_back_quoted(esc, '\'')) {
    return in_quotes(esc, '\'');
  }
  return quote ? in_quotes(esc, '"') : esc;
}

std::string optional_field(const Value& v, bool quote) {
  if (!pfile_detail::is_present(&v)) {
    return {};
  }
  return field_text(pfile_detail::value_text(&v), quote, false);
}

// The line(s) of one record.
std::string record_text(const Parameter* p) {
  if (TypeCode(p->ptype) == CommentType) {
    return pfile_detail::value_text(&p->pvalue) + "\n";
  }
  const char* name = p->pname ? p->pname : "";
  // A name read after leading blanks may begin with '#'; written at the start
  // of the line it would read back as a comment, so its blank is kept.
  std::string line = std::string(name[0] == '#' ? " " : "") + name + "," +
                     pfile_detail::type_word(p->ptype) + "," +
                     pfile_detail::mode_letters(p->pmode) + ",";
  bool is_struct = p->ptype == StructType;
  if (is_struct) {
    // A struct's value field is a placeholder the reader skips (the text is
    // the next line); the fixed 160 keeps rewritten files identical to the
    // ones users already hold.
    line += "160";
  } else {
    line += field_text(pfile_detail::value_text(&p->pvalue), p->ptype == StringType, true);
  }
  line += "," + optional_field(p->pmin, false) + "," + optional_field(p->pmax, false) + ",";
  if (p->pprompt != nullptr) {
    line += field_text(p->pprompt, p->pprompt[0] != '\0', false);
  }
  line += "\n";
  if (is_struct) {
    line += escape(pfile_detail::value_text(&p->pvalue)) + "\n";
  }
  return line;
}

}  // namespace

int ESCQuote(char* str, std::size_t size) {
  if (str == nullptr || *str == '\0') {
    return 0;
  }
  std::size_t len = std::strlen(str);
  std::size_t quotes = 0;
  for (std::size_t i = 0; i < len; ++i) {
    quotes += str[i] == '"';
  }
  if (len + quotes + 1 > size) {
    return -1;
  }
  // Shift from the end so each character moves once.
  std::size_t out = len + quotes;
  str[out] = '\0';
  for (std::size_t i = len; i-- > 0;) {
    str[--out] = str[i];
    if (str[i] == '"') {
      str[--out] = '\\';
    }
  }
  return 0;
}

void ESCUnQuote(char* str) {
  if (str == nullptr) {
    return;
  }
  char* out = str;
  for (const char* in = str; *in != '\0'; ++in) {
    if (in[0] == '\\' && in[1] == '"') {
      ++in;
    }
    *out++ = *in;
  }
  *out = '\0';
}

Parameter* ParamCreate(char* name, int type, int mode, char* value, Parameter* record) {
  if (type == VoidType || mode == 0) {
    parerr = type == VoidType ? PARAM_UNKNOWN_TYPE : PARAM_CANNOT_CONVERT;
    c_paramerr(0, "iraf parser", name ? name : "");
    std::free(name);
    std::free(value);
    ParamFree(record);
    return nullptr;
  }
  Parameter* p = record ? record : ParamAlloc();
  if (p == nullptr) {
    std::free(name);
    std::free(value);
    return nullptr;
  }
  std::free(p->pname);
  p->pname = name;
  p->ptype = type;
  p->pmode = mode;
  ValueClear(&p->pvalue);
  if (value == nullptr) {
    value = dup_string("");
  }
  ESCUnQuote(value);
  p->pvalue.type = StringType;
  p->pvalue.value = value;
  return p;
}

ParamList* IRAFParFile(FILE* stream) {
  if (stream == nullptr) {
    return nullptr;
  }
  Parser parser(pfile_detail::read_stream(stream));
  return parser.parse();
}

ParamList* IRAFParRead(FILE* stream, const char* /*mode*/) {
  if (stream == nullptr) {
    return nullptr;
  }
  std::rewind(stream);
  return IRAFParFile(stream);
}

ParamList* IRAFParOpen(const char* filename, const char* mode) {
  if (filename == nullptr) {
    return nullptr;
  }
  ParamList* list =
      pfile_detail::open_list_file(filename, mode, IRAFParFile, IRAFParRead, IRAFParWrit);
  if (list == nullptr) {
    pfile_detail::stream_printf(stderr, "Open error on param file: %s\n", filename);
  }
  return list;
}

void IRAFParWrit(FILE* stream, ParamList* list, const char* /*mode*/) {
  if (stream == nullptr || list == nullptr || list == ParamFileCant) {
    return;
  }
  pfile_detail::rewrite_stream(stream, list, "", record_text);
}
