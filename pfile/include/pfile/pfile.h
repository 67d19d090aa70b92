// pfile/pfile.h -- the parameter-file library: records of an open parameter
// file (ParamFile, ParamList, Parameter, Value), type codes and mode bits, the
// error code and messages, the IRAF-syntax reader and writer, and the search
// for parameter files along a path list.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

struct ParamFile;
struct ParamList;
struct Parameter;

// ---------------------------------------------------------------------------
// Type codes (index into VTypeList) and the list flag
// ---------------------------------------------------------------------------

constexpr int VoidType = 0;
constexpr int BooleanType = 1;
constexpr int IntegerType = 2;
constexpr int RealType = 3;
constexpr int StringType = 4;
constexpr int FileType = 5;
constexpr int GType = 6;
constexpr int StructType = 7;
constexpr int GcurType = 8;
constexpr int ImcurType = 9;
constexpr int ModeType = 10;
constexpr int PsetType = 11;
constexpr int RangeType = 12;
constexpr int CommentType = 13;
constexpr int NTypes = 14;
/// Set in Parameter::ptype for a list-structured parameter ("*" on the type word).
constexpr int ListType = 0x1000;
/// The type code without the list flag.
constexpr int TypeCode(int ptype) { return ptype & ~ListType; }

/// INDEF of the integer and real types.
constexpr int IndefInt = -2147483647;
constexpr double IndefReal = 1.6e38;

// ---------------------------------------------------------------------------
// Mode bits
// ---------------------------------------------------------------------------

constexpr int AutoMode = 1;        // 'a': follow the file's task mode
constexpr int HiddenMode = 2;      // 'h'
constexpr int LearnMode = 4;       // 'l'
constexpr int QueryMode = 8;       // 'q'
constexpr int NoQueryMode = 0x10;  // open mode 'H': never ask the user

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

/// A field value. `value` points to heap data of `type`: char* text for the
/// string-like types, int for boolean/integer/mode, double for real, Range for
/// an enumeration; null when the field is absent. `indir` is the indirect
/// reference text as first given, or null. Values read from a file are strings.
struct Value {
  int type;
  void* value;
  char* indir;
};

/// One item of an enumeration: its data (an int, a double, or a char* pointer
/// to a heap copy of the text for string-like item types) and its comparison code.
struct Check {
  alignas(double) unsigned char v[144];
  int oper;
};

/// The internal form of an enumeration ("a|b|c"); grows by 20 items.
struct Range {
  int type;
  int nval;
  int nalo;
  char* str;
  Check* check;
};

using ParamHook = Value* (*)(ParamFile*, Parameter*);

/// One line of a parameter file; comment and blank lines are CommentType records
/// named "#" and "" whose value holds the line's text.
struct Parameter {
  int ptype;
  int pflag;
  char* pname;
  int pmode;
  Value pvalue;
  Value pmin;
  Value pmax;
  char* pprompt;
  void* extension;
  ParamHook phook;
};

using ParamReader = ParamList* (*)(FILE*, const char*);
using ParamWriter = void (*)(FILE*, ParamList*, const char*);
using ParamCloser = int (*)(ParamList*);

/// One parsed file: `param` holds nparam records in file order and a null entry.
struct ParamList {
  FILE* file;
  char* filename;
  char* mode;
  ParamCloser clos;
  ParamReader read;
  ParamWriter writ;
  int nparam;
  int nalloc;
  Parameter** param;
};

/// The handle of one open parameter file, kept on the open-file list.
struct ParamFile {
  ParamFile* next;
  ParamList* psets;
  ParamList* alist;
  int mode;
  void* extension;
};

/// One entry of the type table: the written type word, the size of the data,
/// and the per-type operations filled in by the value-access layer (null until then).
struct VType {
  const char* name;
  std::size_t size;
  int (*compare)(const void* left, int oper, const void* right);
  Value* (*access)(ParamFile* file, Parameter* p, int type, Value* value);
};

/// The type table, indexed by type code (NTypes entries).
extern VType VTypeList[NTypes];

/// Returned by a reader when the file exists but does not parse.
extern ParamList* const ParamFileCant;

// ---------------------------------------------------------------------------
// Records: building and freeing
// ---------------------------------------------------------------------------

/// A new empty list of 10 slots (null-terminated), or null when out of memory.
ParamList* PListCreate(void);
/// Appends p (the list takes it); grows by 30 slots when nparam + 1 >= nalloc.
/// Returns 0, or -1 (p not taken) when out of memory or list/p is null.
int PListAdd(ParamList* list, Parameter* p);
/// Removes p from the list without freeing it; later entries shift down. 0, or -1 when absent.
int PListDel(ParamList* list, Parameter* p);
/// Frees every parameter, the slot array, the name and mode strings and the list.
/// Does not close the stream. Null and ParamFileCant are ignored.
void PListFree(ParamList* list);
/// A zeroed parameter record (absent values, no prompt), or null.
Parameter* ParamAlloc(void);
/// Frees a parameter and everything it owns; null is ignored.
void ParamFree(Parameter* p);
/// Frees a value's data and indirect text and leaves it absent (type 0).
void ValueClear(Value* v);
/// Replaces v with a heap copy of text as a string (type 4); null text leaves it absent.
/// Returns 0, or -1 when out of memory.
int ValueSetString(Value* v, const char* text);
/// Frees a Range and its items.
void RangeFree(Range* r);

// ---------------------------------------------------------------------------
// Type words and mode letters
// ---------------------------------------------------------------------------

/// Type code of a written type word ("*" prefix adds ListType); unknown words
/// give 0 and set parerr to PARAM_UNKNOWN_TYPE.
int ParamTypeCode(const char* word);
/// Written form of a type code: "*" for list parameters, "f" for every file type.
const char* ParamTypeWord(int ptype, char* buf, int size);
/// Mode bits of mode letters (a, h, l, q; others ignored); none known gives 0
/// and sets parerr to PARAM_CANNOT_CONVERT.
int ParamModeBits(const char* letters);
/// The mode letters of bits in the order a, h, q, l.
const char* ParamModeLetters(int mode, char* buf, int size);
/// String form of a value (indirect text first, then the data converted; an
/// absent value gives ""), cut to fit buf. Returns buf.
const char* ValueString(const Value* v, char* buf, int size);

// ---------------------------------------------------------------------------
// Error code and messages
// ---------------------------------------------------------------------------

/// The library's current error code (index into paramerrmsg).
extern int& parerr;
/// Error codes of the library, kept in parerr; each indexes its message in
/// paramerrmsg. The numbers are fixed: callers and tests rely on them.
enum ParamErrorCode : int {
  PARAM_OK = 0,              // no error; "parameter error?" is also printed for an unknown code
  PARAM_NOT_FOUND = 1,       // "parameter not found"
  PARAM_NOT_UNIQUE = 2,      // "parameter not unique"
  PARAM_FILE_NOT_FOUND = 3,  // "parameter file not found"
  PARAM_ARGUMENT_ERROR = 4,  // "parameter argument error"
  PARAM_POSITIONAL_AFTER_ABSOLUTE = 5,  // "positional parameters must come before absolutes"
  PARAM_UNKNOWN_TYPE = 6,               // "parameter has unknown type"
  PARAM_BAD_MINIMUM = 7,                // "parameter has bad minimum value"
  PARAM_BAD_MAXIMUM = 8,                // "parameter has bad maximum value"
  PARAM_BELOW_MINIMUM = 9,              // "parameter below minimum"
  PARAM_ABOVE_MAXIMUM = 10,             // "parameter above maximum"
  PARAM_POINTER_MISSING = 11,           // "parameter pointer missing"
  PARAM_CANNOT_CONVERT = 12,            // "cannot convert parameter value"
  PARAM_NO_VALUE = 13,                  // "parameter has no value"
  PARAM_ARGUMENTS_MISUNDERSTOOD = 14,   // "command arguments missunderstood"
  PARAM_NO_FILE = 15,                   // "no parameter file"
  PARAM_NO_CONVERTER = 16,              // "no parameter converter"
  PARAM_BAD_VALUE = 17,                 // "bad value for parameter"
  PARAM_BAD_SUBFIELD = 18,              // "bad subfield name"
  PARAM_RANGE_AND_MAX = 19,             // "can't specify range and max field"
  PARAM_BAD_RANGE = 20,                 // "bad range specification"
  PARAM_TYPE_NO_RANGE = 21,             // "parameter type doesn't support range"
  PARAM_NOT_IN_RANGE = 22,              // "value must be in range"
  PARAM_TOO_MANY_POSITIONAL = 23,       // "to many positional arguments"
  PARAM_FILE_READ_ERROR = 24,           // "error reading paramfile"
  PARAM_ENUM_NOT_UNIQUE = 25,           // "enumerated value not unique"
  PARAM_INDIRECT_FAILED = 26,           // "can't evaluate indirect parameter"
  PARAM_LIST_FILE_OPEN = 27,            // "can't open parameter list file"
  PARAM_BAD_ENUM = 28,                  // "invalid enumerated value"
  PARAM_REFERENCE_COPY_FAILED = 29,     // "can't copy reference parameter file to user directory"
  PARAM_NO_REFERENCE = 30,              // "can't find reference parameter file"
};
constexpr int NParamErrors = PARAM_NO_REFERENCE + 1;
extern const char* const paramerrmsg[NParamErrors];
/// Prints "label: message : name" on stderr. A non-zero level with exit-on-error
/// set exits with that status; otherwise parerr is cleared and level returned.
int c_paramerr(int level, const char* label, const char* name);
/// The message of parerr; clears parerr.
const char* c_paramerrstr(void);
/// Sets exit-on-error, returns the old setting.
int set_paramerror(int flag);

// ---------------------------------------------------------------------------
// IRAF-syntax parameter files
// ---------------------------------------------------------------------------

/// Opens and parses filename ("r+" when mode holds 'w', else "r"). Null when the
/// name is null or the file cannot be opened; ParamFileCant when it does not parse.
ParamList* IRAFParOpen(const char* filename, const char* mode);
/// Rewinds stream and parses it again.
ParamList* IRAFParRead(FILE* stream, const char* mode);
/// Rewrites the whole file from list: rewind, write each record, flush, truncate.
void IRAFParWrit(FILE* stream, ParamList* list, const char* mode);
/// Parses one stream into a new list; null (with a message) when the grammar rejects it.
ParamList* IRAFParFile(FILE* stream);
/// Inserts a backslash before every double quote, in place, within size bytes
/// (terminator included). Returns 0, or -1 when it did not fit (str unchanged).
int ESCQuote(char* str, std::size_t size);
/// Removes a backslash that stands before a double quote, in place.
void ESCUnQuote(char* str);
/// Builds a parameter (record null) or completes record (holding min, max and
/// prompt) with name, type, mode and value (stored unescaped as a string). Takes
/// ownership of name, value and record (heap, malloc). A zero type or mode is
/// reported as "iraf parser" at level 0; everything is freed and null returned.
Parameter* ParamCreate(char* name, int type, int mode, char* value, Parameter* record);

// ---------------------------------------------------------------------------
// Parameter file search
// ---------------------------------------------------------------------------

/// Size of the static buffer that holds search results.
constexpr int ParamPathMax = 1026;
/// Find, then the UPARM fallback (locatepfile). Canonical path (static) or null.
char* c_paramfind(const char* name, const char* mode, const char* extensions, const char* path);
/// Searches name with each extension (list of blanks/colons/semicolons, $VAR
/// items recurse) along path. Static result or null.
char* Find(const char* name, const char* mode, const char* extensions, const char* path);
/// Searches name along a path list; mode "r", "w", "x" letters plus "<" (user
/// part only) or ">" (reference part only). Static result or null.
char* findpath(const char* name, const char* mode, const char* path);
/// Sets the folder against which this thread's searches take relative names
/// and search folders ("." included); null or empty for the working folder.
/// The previous folder is returned, to be set again when the caller is done.
std::string pfile_set_base_dir(const char* dir);
/// Expands $VAR in name and tests existence and the r/w/x permission of mode;
/// the canonical path (static) or null.
char* Access(const char* name, const char* mode);
/// Expands $NAME, ${NAME}, $(NAME) into fullname (maxlen bytes, always terminated).
char* ExpandEnv(const char* name, char* fullname, int maxlen);
/// Canonical form of ibuf into obuf (size bytes, always terminated): names
/// holding "/" made absolute, "." dropped, ".." removing the previous component.
void ResolvePath(const char* ibuf, char* obuf, int size);
/// Looks for a file matching the task's abbreviated name in $UPARM. Static or null.
char* locatepfile(const char* name);
/// 1 when string matches template (?, *, [a-z], [~...]), else 0.
int tmatch(const char* string, const char* templ);

// ===========================================================================
// Open files, lookup, getting and setting, conversion, indirect values,
// enumerations and list parameters (the value-access layer)
// ===========================================================================

/// Bytes of the conversion buffer that a get returns (and of a text Convert target).
constexpr int ParamConvertSize = 2056;
/// Bytes of each caller buffer of ParamEntry, ParamInfo, paramvalid and LookupInClass.
constexpr int ParamFieldSize = 2048;

/// One entry of the formats table: reader, file extension, finder.
struct ParamFormat {
  ParamList* (*open)(const char* filename, const char* mode);
  const char* extension;
  char* (*find)(const char* name, const char* mode, const char* extensions, const char* path);
};
/// IRAF syntax (".par"), then RDB (".rdb"), then an entry of nulls.
extern ParamFormat ParamFormats[];
/// Open parameter files, newest first.
extern ParamFile*& PFList;

/// Opens a task's parameter file (mode letters r, w, R, f, H, l; null means "rw").
/// A path already open is returned as is unless the mode holds 'f'. Null with
/// parerr set on failure (PARAM_FILE_NOT_FOUND, PARAM_FILE_READ_ERROR,
/// PARAM_REFERENCE_COPY_FAILED, PARAM_NO_REFERENCE).
ParamFile* c_paramopen(const char* filename, char** argv, int argc, const char* mode);
/// Writes back when the list's mode holds 'w', unlinks and frees the handle. Null is ignored.
void c_paramclose(ParamFile* file);
/// Writes the file through its format writer when the list's mode holds 'w'.
void c_paramwrite(ParamFile* file, const char* mode);
/// The open handle whose file name equals name; "" gives the newest; null gives null.
ParamFile* ParamFileLookup(const char* name);
/// The name last asked of c_paramopen (at most 128 characters).
const char* pfilelast(void);
/// Task mode of a file: the mode bits of its parameter "mode", or 0 (parerr cleared).
int ParamFileMode(ParamFile* file);

/// One name of a match list (a private copy).
struct ParamMatchEntry {
  ParamMatchEntry* next;
  char* name;
};
/// The names of a file matching a template, in file order.
struct ParamMatchList {
  ParamMatchEntry* list;
  ParamMatchEntry* next;
  int leng;
};
/// Match list of the parameters matching templ ("*" or null: all); comment lines never
/// match. Null for a null file. Released with pmatchclose.
ParamMatchList* pmatchopen(ParamFile* file, const char* templ);
/// The next name (owned by the list), or null at the end or for a null list.
char* pmatchnext(ParamMatchList* mlist);
void pmatchrewind(ParamMatchList* mlist);
int pmatchlength(ParamMatchList* mlist);
/// Frees the list and its names; null is ignored.
void pmatchclose(ParamMatchList* mlist);

/// First parameter (not a comment line) of list named name exactly; null otherwise.
Parameter* ParamLookup(ParamList* list, const char* name);
/// 1 when the file has the parameter (a field suffix is ignored), else 0; clears parerr.
int c_paccess(ParamFile* file, const char* name);
int ParamAccess(ParamFile* file, const char* name);
/// String forms of every field of p into buffers of ParamFieldSize bytes (null
/// buffers are skipped); an indirect field gives its reference text. 1, or 0 for null p.
int ParamEntry(const Parameter* p, char* name, char* type, char* mode, char* value, char* min,
               char* max, char* prompt);
/// ParamEntry of the named parameter. 1 when found, else 0.
int ParamInfo(ParamFile* file, const char* name, char* mode, char* type, char* value, char* min,
              char* max, char* prompt);
/// The value as a string got with the file's mode, copied into str (max bytes,
/// terminated); "" when the get fails. Returns str.
char* ParamResolve(ParamFile* file, const char* name, char* str, int max);
/// 1 when value passes the parameter's type and limits (nothing is stored); out
/// (ParamFieldSize bytes, may be null) receives the checked value as text.
int paramvalid(ParamFile* file, const char* name, const char* value, char* out);

/// Gets the named field ("name" or "name.p_value|p_min|p_max|p_mode|p_prompt") as
/// type with task mode *mode: command-line value, query, validation, conversion.
/// Points into a conversion buffer that the next get overwrites; null on failure.
void* ParamGetX(ParamFile* file, const char* name, int type, int* mode);
/// Sets the named field from data of type (a char* text for the text types).
/// 0, or -1 on failure with parerr set.
int ParamSetX(ParamFile* file, const char* name, int type, const void* value);
/// Asks for a new value of p into target on the terminal. 1 when a new value was
/// given, 0 when the current one stays, -1 when the terminal cannot be opened.
int PQueryUser(ParamFile* file, Parameter* p, Value* target);
/// Resolves, converts and checks v against p's type and limits. 1 when valid.
int Validate(ParamFile* file, Parameter* p, Value* v);

/// Typed gets; a failure reports "pgetX" through c_paramerr (exit status 1 by default).
int c_pgetb(ParamFile* file, const char* name);
short c_pgets(ParamFile* file, const char* name);
int c_pgeti(ParamFile* file, const char* name);
float c_pgetf(ParamFile* file, const char* name);
double c_pgetd(ParamFile* file, const char* name);
/// Copies at most max bytes of the value into str, zero-padding a shorter value;
/// a value of max characters or more is not terminated. str, or null on failure.
char* c_pgetstr(ParamFile* file, const char* name, char* str, int max);
/// Typed puts; a failure reports "psetX" through c_paramerr.
void c_pputb(ParamFile* file, const char* name, int value);
void c_pputs(ParamFile* file, const char* name, short value);
void c_pputi(ParamFile* file, const char* name, int value);
void c_pputf(ParamFile* file, const char* name, float value);
void c_pputd(ParamFile* file, const char* name, double value);
void c_pputstr(ParamFile* file, const char* name, const char* value);

/// Converts data of type from into out as type to (text targets need
/// ParamConvertSize bytes). out, or null with parerr PARAM_NO_CONVERTER or
/// PARAM_CANNOT_CONVERT.
void* Convert(const void* value, int from, void* out, int to);

/// Lists the file's parameters on standard output, visible ones first.
void c_paramlist(ParamFile* file);

/// Resolves value in place: indirect classing, then an indirect reference. 1, or 0
/// (parerr PARAM_INDIRECT_FAILED).
int VDirect(ParamFile* file, Parameter* p, Value* value);
/// Turns an enumeration text held in value into a Range stored there. Null when
/// value is no enumeration (parerr untouched) or on error (parerr PARAM_BAD_RANGE or
/// PARAM_TYPE_NO_RANGE).
Range* VRange(ParamFile* file, Parameter* p, Value* value);
/// 1 when value is one of range's items (a unique prefix of a text item is
/// completed in place), else 0 with parerr PARAM_NOT_IN_RANGE, PARAM_ENUM_NOT_UNIQUE
/// or PARAM_BAD_ENUM.
int VInRange(Range* range, Value* value);
/// 1 when min <= value <= max (absent limits skipped), else 0 with parerr
/// PARAM_BELOW_MINIMUM or PARAM_ABOVE_MAXIMUM.
int PRangeMinMax(Value* value, Value* min, Value* max);
/// Next valid line of a list-structured parameter's file, or null at its end.
/// The value stays valid until the next call.
Value* NextListValue(ParamFile* file, Parameter* p);
/// The value-access functions of the type table: resolve and convert in place.
Value* VXAcce(ParamFile* file, Parameter* p, int type, Value* value);
Value* VAcce(ParamFile* file, Parameter* p, int type, Value* value);
/// 1 when a classing database named by PINCLASSDB is in use.
int UsingIndirectClassing(void);
/// Replaces value by the classed parameter's value when p is classed. 1 when replaced.
int IndirectClassing(ParamFile* file, Parameter* p, Value* value);
/// The target file and parameter of (pfile, param) into buffers of ParamFieldSize bytes. 1 when
/// classed.
int LookupInClass(const char* pfile, const char* param, char* ipfile, char* iparam);
/// Up to max distinct target file names (malloc'd copies for the caller to free); the count.
int GetIndirectPFiles(char** array, int max);
