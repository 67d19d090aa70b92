// util/util.h -- the utility library: messages and debug levels, fixed-buffer
// strings, string lists and vectors, numbers with null values, and numbered
// file and terminal channels. Every other layer of varto is built on it.
//
// Conventions shared by all routines:
//  - strings are NUL-terminated 8-bit text in caller-owned buffers; a blank is
//    the space character only; trailing blanks never count in comparisons;
//  - positions are 1-based, 0 meaning "not found" (cmatch_c returns -1);
//  - a string list is a char** made by alloc_array_c and freed by free_array_c;
//  - channels are small integers: 0 the terminal, 5/6/7 standard input,
//    output and error, 1..100 entries of the channel table;
//  - a pointer argument must not be null unless its contract says what null does;
//  - no routine allocates except the two list allocators, whose lists the caller frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "util/util_limits.h"

// ---------------------------------------------------------------------------
// Messages and channels of the message routines
// ---------------------------------------------------------------------------

/// Writes text, trailing blanks removed, as one line on the current output channel.
/// Null writes an empty line.
void msg(const char* text);
/// Writes text whole (trailing blanks kept), without a line end, on the current
/// output channel. Null writes nothing.
void msgl(const char* text);
/// Ends the current line of the current output channel if a prompt left it open.
void msg_endline(void);
/// Writes one line on the terminal (channel 0, through the pager). Null writes an empty line.
void tmsg(const char* text);
/// Writes a prompt on the terminal without a line end. Null writes nothing.
void tmsgl(const char* text);
/// Writes one line on the error channel. Null writes an empty line.
void err_msg(const char* text);
/// Writes "text item" (joined by one blank) as one line on the error channel;
/// a null text or item counts as empty.
void err_msg1(const char* text, const char* item);
/// Writes one line of n '-' characters on the current output channel (n <= 0: empty line).
void dashline(int n);

/// Sets the current output channel (top of the output stack); 0 selects 6.
/// The caller sets it back before closing the channel.
void io_out(int ch);
/// Sets the current input channel (top of the input stack); 0 selects 5.
void io_in(int ch);
/// Sets the error channel; 0 selects 7.
void io_err(int ch);
/// The current output channel when flag is set, else the current input channel.
int io_chan(int flag);
/// Reads one line from the current input channel into buf (size bytes), as fio_read.
/// Returns 1, or 0 at end with buf a single blank.
int io_input(char* buf, int size);
/// Reads one line from the terminal (channel 0), as fio_read.
int tty_input(char* buf, int size);
/// Writes the current input, output and error channels on the current output channel.
void io_print_state(void);
/// Resets the message channels: both stacks one level deep, input 5, output 6, errors 7.
void io_init(void);

/// The two standard streams as a sink sees them.
constexpr int UTIL_STREAM_OUT = 1;
constexpr int UTIL_STREAM_ERR = 2;
/// Receives n bytes of text meant for standard output (UTIL_STREAM_OUT) or
/// standard error (UTIL_STREAM_ERR), line ends included.
using util_sink_fn = void (*)(void* context, int stream, const char* text, std::size_t n);
/// Sends what the calling thread writes on the terminal (channel 0), on
/// channels 6 and 7 and through util_stream_write to fn instead of the standard
/// streams; null fn gives the streams back. Each thread has its own sink.
void util_set_sink(util_sink_fn fn, void* context);
/// Writes n bytes on stream (stdout or stderr), or hands them to the calling
/// thread's sink. Without a sink, standard output is flushed before text on
/// standard error, and the stream after the text, so both keep their order.
/// False when the write failed.
bool util_stream_write(FILE* stream, const char* text, std::size_t n);

// ---------------------------------------------------------------------------
// Debug levels, routine stack, version registry, start-up
// ---------------------------------------------------------------------------

/// Sets the global debug level; above 0 it is announced on the error channel.
void dbg_set(long level);
/// Sets a level: "GLOBAL" as dbg_set, "ALL" every registered package (not the
/// global level), any other name that package, registering it if new. A full
/// package list drops the setting (after dbg_addpkg's overflow line).
void dbg_setpkg(const char* name, long level);
/// Registers a package name (level 0) if new; returns its 0-based index, or -1
/// when 20 names are held ("Routine list_add: list overflow" on the terminal).
/// Null counts as the empty name.
int dbg_addpkg(const char* name);
/// Enters a routine: registers package and stacks the routine name (cut to 31).
/// Pushes beyond 20 levels are counted and ignored; each needs its dbg_pop.
void dbg_push(const char* package, const char* routine);
/// Leaves the innermost routine (or one ignored push). An empty stack stays empty.
void dbg_pop(void);
/// Effective debug level: max(global, package level of the innermost routine).
long dbg_get(void);
/// True when the effective level is at least n.
bool dbg_level(long n);
/// Diagnostic line "[*L]" padded to 6 columns, then text, on the error channel,
/// when level <= effective level. Null text counts as empty.
void dmsg(long level, const char* text);
/// As dmsg, with text and item concatenated without a separator.
void dmsg1(long level, const char* text, const char* item);
/// Formats the tag "[*L]" alone into buf (at least 32 bytes; null is ignored).
void dmsg_tag(long level, char* buf);
/// Sets the trace flag: while set, every push and pop shows the routine stack.
void dbg_trace(int flag);
/// Lists the global level and every package's level on the error channel.
void dbg_listpkg(void);
/// Shows the routine stack, outermost first, on the error channel.
void dbg_disptree(void);
/// Shows the innermost routine's package and name on the error channel (nothing
/// when the stack is empty).
void dbg_disppkg(void);

/// Registers package/version. 0 when new, 1 when known (warns on a version mismatch).
/// Null counts as the empty name or version.
int ver_init(const char* package, const char* version);
/// Writes "package version" for each registered package on the current output channel.
void ver_msg(void);
/// Copies the library version "CV1.4" into buf (at least 32 bytes; null is ignored).
void rirade_ver(char* buf);

/// Library start-up; call once, first. A second call does nothing. Returns 0.
int rirade_init(void);
/// The start-up steps of rirade_init: null values, message channels, special
/// characters, search path, token buffers and unit registers, in that order.
void rirade_layer1_init(void);
/// Empties the command-token buffers (kept for the command processor; varto
/// itself does not use them).
void tpio_init(void);
/// Empties the two unit registers (kept for the unit register; unused by varto).
void unit_init(void);

// ---------------------------------------------------------------------------
// System services
// ---------------------------------------------------------------------------

/// Copies environment variable name into buf (size bytes, always terminated); unset
/// or a null name gives "". A null buf or size below 1 writes nothing.
void sys_getenv(const char* name, char* buf, int size);
/// Removes a file (trailing blanks of path ignored). 0 on success, -1 on failure
/// or a null or blank path.
int sys_delete(const char* path);
/// Sleeps for seconds; 0 or less returns at once.
void sys_wait(int seconds);
/// Runs a shell command after flushing standard output and error; returns its
/// status, or -1 for a null command.
int sys(const char* command);
/// Runs "cat path" and returns its status; a null or blank path gives -1 and runs nothing.
int sys_type(const char* path);
/// Joins args[1..count-1], each without trailing blanks and followed by one blank,
/// into buf of room bytes (cut to fit, always terminated). A null buf writes nothing.
void sys_cmdline(char** args, int count, char* buf, int room);
/// Local date "%Y%m%d", time "%H%M%S.000", zone "%z" (each buffer at least 31 bytes;
/// a null buffer is skipped).
void date_and_time(char* date, char* time, char* zone);
/// UTC "%Y %b %d %H:%M:%S" into buf of size bytes ("" when it does not fit; null ignored).
void sys_today(char* buf, int size);
/// UTC "%H:%M:%S" into buf of size bytes, as sys_today.
void sys_time(char* buf, int size);
/// UTC "%d/%m/%y" into buf of size bytes, as sys_today.
void sys_date(char* buf, int size);
/// UTC as day + 100 x month + 10000 x year (month from 0, year from 1900) plus
/// (second + 100 x minute + 10000 x hour) / 1e6.
double sys_stamp(void);
/// A name for a new file that is the caller's alone, for writing the replacement
/// of path in a folder others may write to. A folder of mode 0700 is made beside
/// path under the hidden name ".NAME.XXXXXX" (six random letters and digits) and
/// name (room bytes) receives "FOLDER/NAME": no one else can put a file or a link
/// there, so the file may then be created by name. mkdir neither follows a link
/// nor reuses anything already at its name; a name taken is tried again with other
/// letters. Until sys_own_file_commit or sys_own_file_remove, a SIGINT, SIGTERM or
/// SIGHUP removes the file and its folder before taking its usual course, once
/// sys_own_file_catch_signals has been called. 0, or -1
/// with errno set and nothing made.
int sys_own_file(const char* path, char* name, int room);
/// Installs, for the rest of the process, the handlers of SIGINT, SIGTERM and
/// SIGHUP that remove the files of sys_own_file not yet committed or removed
/// before the signal takes its usual course. Programs call it once at start;
/// without it no handler is installed and a signal leaves such files behind.
void sys_own_file_catch_signals(void);
/// Renames the file of name over path (a link at path is replaced, not followed)
/// and removes its folder. 0, or -1 with errno set and the file left in place.
int sys_own_file_commit(const char* name, const char* path);
/// Removes the file of name, when it is there, and its folder.
void sys_own_file_remove(const char* name);
/// "%s (%s)" with sys_today and text, into buf of size bytes (cut to fit).
/// A null text counts as empty; a null buf writes nothing.
void rirade_id(char* buf, int size, const char* text);

// ---------------------------------------------------------------------------
// String toolkit
// ---------------------------------------------------------------------------

/// Copies src with its terminator (dst large enough; the two may overlap).
/// A null src gives an empty dst.
void cs_copy(const char* src, char* dst);
/// Copies at most n characters and always terminates (dst holds n+1).
/// A null src or n below 1 gives an empty dst.
void cs_copy_siz(const char* src, char* dst, int n);
/// Characters i to j of s (1-based, inclusive, stopping at s's end) into dst,
/// terminated; j < i gives "". A null s counts as empty.
void cs_get_ss(const char* s, char* dst, int i, int j);
/// Writes src into positions i to j of dst, blank-filled or cut; no terminator
/// is written. A null src fills with blanks.
void cs_put_ss(const char* src, char* dst, int i, int j);
/// Makes s empty.
void cs_zero(char* s);
/// Sets the first n characters of s to NUL (n <= 0: nothing).
void cs_null(char* s, int n);
/// Turns each NUL among the first n characters of s into a blank.
void cs_denull(char* s, int n);
/// out = a without its trailing blanks, then b. A null a or b counts as empty.
void cs_conc(const char* a, const char* b, char* out);
/// out = a without its trailing blanks, one blank, then b. Null as in cs_conc.
void cs_conc1(const char* a, const char* b, char* out);
/// Removes one final newline, then one final carriage return.
void cs_remove_nl(char* s);
/// Upper-cases s in place.
void cs_upper(char* s);
/// Lower-cases s in place.
void cs_lower(char* s);
/// First character upper case, the rest lower case, in place.
void cs_mixcase(char* s);

/// Length of s without its trailing blanks (0 for a blank or null string).
int cs_ends(const char* s);
/// Position of the first non-blank character; for a blank string its length,
/// for an empty or null string 1.
int cs_begs(const char* s);
/// True for an empty, all-blank or null string.
bool cs_is_blank(const char* s);
/// Moves *p past blanks. A null p or *p does nothing.
void cs_advptr(const char** p);
/// 'Y' for true, 'N' for false.
char cs_logic(bool flag);
/// The C library's digit class.
bool digit_char(int c);
/// The C library's letter class.
bool alpha_char(int c);
/// A digit or one of + - .
bool numeric_char(int c);

/// True when a and b agree up to the shorter's end and the longer's rest is
/// blank; case matters. Null counts as empty.
bool cs_eq(const char* a, const char* b);
/// cs_eq ignoring case, over the whole of both strings. Null counts as empty.
bool cs_uceq(const char* a, const char* b);
/// cs_eq over the first n characters: true when they agree, or when one string
/// ends within them and the other's whole rest is blank. Null counts as empty.
bool cs_eq_siz(const char* a, const char* b, int n);
/// cs_eq_siz of positions i to j of s against t. Null counts as empty.
bool cs_eq_ss(const char* s, int i, int j, const char* t);

/// Position of the first p in s (blanks significant), 0 if none.
int cs_index(const char* s, const char* p);
/// As cs_index, searching from position i; the result counts from the start of
/// s. 0 when none, when i < 0 or when i is past the end.
int cs_eindex(const char* s, int i, const char* p);
/// Position of the first c in s, 0 if none (and for c NUL).
int cs_index_char(const char* s, char c);
/// True when p occurs in s.
bool cs_ss(const char* s, const char* p);
/// True when c occurs in s.
bool cs_ss_char(const char* s, char c);
/// Splits s at the first c: head what precedes it (" " when c is first), tail
/// what follows (" " when there is no c). head and tail must each hold strlen(s)+2 bytes.
void subcmd_split(const char* s, char* head, char* tail, char c);

/// 1-based index of the first of list's n entries cs_eq to s; 0 if none.
int match_c(const char* s, char** list, int n);
/// The same as match_c.
int cmatch(const char* s, char** list, int n);
/// 0-based index of the first entry cs_eq to s; -1 if none.
int cmatch_c(const char* s, char** list, int n);
/// 1-based index (in the whole list) of the first entry i..j cs_eq to s; 0 if none.
int matchr_c(const char* s, char** list, int i, int j);
/// As match_c over n strings packed in slots of w+1 characters (each read to at
/// most w); 0 if none or w < 0.
int cs_match(const char* s, const char* packed, int n, int w);
/// 1-based index of s in list; when absent and *n < max, s is appended (the
/// slots must be wide enough) and *n grows. 0 when the list is full
/// ("Routine list_add: list overflow" on the terminal).
int cs_list_add(char** list, int* n, int max, const char* s);
/// Splits s into tokens (cs_get_c) cut to w characters into list[0], list[1], ...
/// Stops at max entries (the size of the list). Returns the number of tokens stored
/// (0 for a blank or null s).
int list_parse(const char* s, char** list, int w, int max);

/// Token modes of cs_get_token.
constexpr int CS_TOKEN_WORD = 0;
constexpr int CS_TOKEN_PHRASE = 1;
constexpr int CS_TOKEN_LINE = 2;

/// The tokeniser: copies the next token (at most n characters; buf holds n+1) into
/// buf, advances the cursor past it, and sets the cursor to null when only blanks
/// remain. Returns the separator that ended the token, 0 at the end of the text.
/// Mode 2 copies the rest of the line, cut to n. A null cursor or *cursor gives an
/// empty buf and 0; an unknown mode writes "Bad token mode" and changes nothing.
int cs_get_token(const char** cursor, char* buf, int mode, int n);
/// The next word (mode 0: ended by a blank, comma or semicolon outside brackets).
int cs_get_c(const char** cursor, char* buf, int n);
/// The next phrase (mode 1: ended by a semicolon outside brackets).
int cs_get_cs(const char** cursor, char* buf, int n);
/// The rest of the line (mode 2), cut to n.
int cs_get_cl(const char** cursor, char* buf, int n);
/// The next word (at most 31 characters) read by read_i; 0 for a blank word or a
/// null cursor. cs_get_s, cs_get_r, cs_get_d and cs_get_q read likewise.
int cs_get_i(const char** cursor);
int16_t cs_get_s(const char** cursor);
float cs_get_r(const char** cursor);
double cs_get_d(const char** cursor);
bool cs_get_q(const char** cursor);
/// As cs_get_i, but a blank word (or a null cursor) gives def. The other
/// cs_getd_ routines likewise.
int cs_getd_i(const char** cursor, int def);
int16_t cs_getd_s(const char** cursor, int16_t def);
float cs_getd_r(const char** cursor, float def);
double cs_getd_d(const char** cursor, double def);

/// Appends text at *cursor while *room > 0 (room shrinks per character), then sep
/// if room is left and sep is not NUL (room does not shrink for it), then a
/// terminator that the next call overwrites. Null text counts as empty.
void cs_put_token(const char* text, char** cursor, char sep, int* room);
/// cs_put_token with a blank separator.
void cs_put_c(const char* text, char** cursor, int* room);
/// cs_put_token with the current "STRING" special character as separator.
void cs_put_cs(const char* text, char** cursor, int* room);
/// cs_put_token without a separator.
void cs_put_cn(const char* text, char** cursor, int* room);
/// v written by write_i (at most 31 characters), then put with a blank separator.
/// cs_put_s, cs_put_r and cs_put_d likewise with their writers.
void cs_put_i(int v, char** cursor, int* room);
void cs_put_s(int16_t v, char** cursor, int* room);
void cs_put_r(float v, char** cursor, int* room);
void cs_put_d(double v, char** cursor, int* room);

/// Special characters of the tokeniser (indexes of esc_get_char).
constexpr int ESC_ESC = 0;
constexpr int ESC_LPAR = 1;
constexpr int ESC_RPAR = 2;
constexpr int ESC_WORD = 3;
constexpr int ESC_STRING = 4;
constexpr int ESC_SYS = 5;
constexpr int ESC_CONT = 6;
constexpr int ESC_CMT = 7;
constexpr int ESC_MACRO = 8;
constexpr int ESC_ARG = 9;
/// Sets every special character to its default.
void esc_init(void);
/// The current special character k (ESC_...); NUL for k outside 0..9.
char esc_get_char(int k);

// ---------------------------------------------------------------------------
// Arrays, vectors and numeric routines (angles in degrees)
// ---------------------------------------------------------------------------

/// count empty slots of len characters plus terminator, in one block. The caller
/// frees the list with free_array_c. Null when count < 1, len < 0 or memory runs out.
char** alloc_array_c(int len, int count);
/// Frees a list of alloc_array_c. Null is ignored.
void free_array_c(char** list);
/// count zeroed 3-vectors of doubles, in one block. The caller frees the list
/// with vec_free_d. Null when count < 1 or memory runs out.
double** vec_alloc_d(int count);
/// Frees a list of vec_alloc_d. Null is ignored.
void vec_free_d(double** list);
/// Copies a 3-vector.
void vcopy_d(const double* src, double* dst);
/// Sets a 3-vector to zero.
void vzero_d(double* v);
/// True when all three components are 0.
bool vnull_d(const double* v);
/// Sets n elements to zero (n <= 0: nothing); ar_zero_r and ar_zero_d likewise.
void ar_zero_i(int* a, int n);
void ar_zero_r(float* a, int n);
void ar_zero_d(double* a, int n);
/// Copies n integers (the ranges may overlap; n <= 0: nothing).
void ar_copy_i(const int* src, int* dst, int n);
/// Mean and population variance (divided by n) of n values; n of 1 gives a[0]
/// and 0, n below 1 gives 0 and 0.
void ar_stats_d(const double* a, int n, double* mean, double* var);
/// The smaller of a and b.
int min_i(int a, int b);
/// The larger of a and b.
int max_i(int a, int b);
/// Linear interpolation (or extrapolation) at x through (x1, y1) and (x2, y2);
/// (y1 + y2) / 2 when x1 equals x2.
double lint_d(double x1, double x2, double y1, double y2, double x);
/// x clamped into lo..hi; *below and *above say on which side it was.
double rlap_check_d(double x, double lo, double hi, bool* below, bool* above);
/// True when a1..a2 and b1..b2 overlap (touching ends count); *o1 and *o2 are
/// a1 and a2 clamped into b1..b2, the common part when they overlap.
bool overlap_d(double a1, double a2, double b1, double b2, double* o1, double* o2);
/// Degrees to radians.
double radin_d(double deg);
/// Radians to degrees.
double radout_d(double rad);
/// Cosine of an angle in degrees.
double dcosd(double deg);
/// Sine of an angle in degrees.
double dsind(double deg);
/// Rotates (x, y) by angle degrees counter-clockwise into (*x2, *y2).
void rotate2_d(double x, double y, double angle, double* x2, double* y2);

// ---------------------------------------------------------------------------
// Number reading and writing, null and infinity values
// ---------------------------------------------------------------------------

/// The number in s: 0 for a blank or null s, the null value for "-", "NA", "NAN"
/// or "NaN", else the longest numeric prefix (strtod), with "READ_D error" and
/// the rest on the error channel when a non-blank rest follows.
double read_d(const char* s);
/// As read_d for a 32-bit real ("READ_R error").
float read_r(const char* s);
/// As read_d in base 10, clamped to 32 bits; a non-blank rest writes
/// "READ_I ERROR 101" and the rest on the terminal.
int32_t read_i(const char* s);
/// As read_i cut to 16 bits; a non-blank rest writes "READ_S error" and the rest
/// on the error channel.
int16_t read_s(const char* s);
/// True when the first non-blank character is one of "YyTt"; false for null.
bool read_q(const char* s);

/// buf must hold n+1 bytes; the short forms of write_r/write_d need 14 bytes.
/// write_i: "  -  " for the null, else the decimal value, cut to n characters
/// (n <= 0 gives "").
void write_i(int32_t v, char* buf, int n);
/// As write_i for a 16-bit integer.
void write_s(int16_t v, char* buf, int n);
/// The short form ("%12.5f" or "%12.5E", trimmed; "0" for zero; "  -  " cut to n
/// for the null). For the short form n only switches writing off: n <= 0 leaves buf
/// unchanged, any other n writes the whole text.
void write_r(float v, char* buf, int n);
/// As write_r for a 64-bit real.
void write_d(double v, char* buf, int n);
/// 'T' for true, 'F' for false.
char write_q(bool flag);
/// v formatted with the printf format fmt (one integer or real conversion), cut
/// to n; "  -  " for the null. A blank, null or unusable fmt writes as write_i.
void writef_i(int32_t v, const char* fmt, char* buf, int n);
/// As writef_i for a 16-bit integer.
void writef_s(int16_t v, const char* fmt, char* buf, int n);
/// As writef_i for a 32-bit real; a leading zero is put before a bare point
/// (" .5" gives "0.5"), other leading blanks stay.
void writef_r(float v, const char* fmt, char* buf, int n);
/// As writef_r for a 64-bit real.
void writef_d(double v, const char* fmt, char* buf, int n);

/// Builds the null and infinity values from their bit patterns; until it runs they are 0.
void nan_init(void);
/// The null value of each type: -32768, 2147483647, and large finite reals
/// (not IEEE NaN), so that equality finds them.
int16_t nan_s(void);
int32_t nan_i(void);
float nan_r(void);
double nan_d(void);
/// The minus infinity value for a negative sign, else the plus infinity value.
int16_t infinity_s(int sign);
int32_t infinity_i(int sign);
float infinity_r(int sign);
double infinity_d(int sign);
/// True when v is exactly the type's null value.
bool qnan_s(int16_t v);
bool qnan_i(int32_t v);
bool qnan_r(float v);
bool qnan_d(double v);
/// True when v is exactly one of the type's infinity values.
bool qinf_s(int16_t v);
bool qinf_i(int32_t v);
bool qinf_r(float v);
bool qinf_d(double v);

/// A bit pattern in base 'B', 'O' or 'Z' (last digit least significant, blanks
/// around ignored) placed into the value's bits. A character that is not a digit
/// of the base, or another base, gives 0 and "READ_BINARY error" with the text;
/// a null text gives 0.
int16_t read_binary_s(const char* text, char base);
int32_t read_binary_i(const char* text, char base);
float read_binary_r(const char* text, char base);
double read_binary_d(const char* text, char base);

// ---------------------------------------------------------------------------
// File and terminal channels
// ---------------------------------------------------------------------------

/// Open a file; each returns the channel number, or 0 when nothing was opened
/// (a blank, null or "*" name means the terminal and also gives 0). The channel
/// is the caller's until fio_close. fio_open_r reads ("SEQ R", along the search
/// path), fio_open_w writes ("SEQ W"), fio_open_a appends ("SEQ A").
int fio_open_r(const char* name);
int fio_open_w(const char* name);
int fio_open_a(const char* name);
/// Direct access: refused like any mode name not in the table; always 0.
int fio_open_d(const char* name, int recl);
/// Opens with a mode name ("SEQ R", "SIO RW", "CIO W", ...); when the retry flag
/// is set a failed open asks the terminal for another name until one opens or Q.
int fio_open_retry(const char* name, const char* mode, int recl);
/// One open attempt with a mode name; 0 on failure, an unknown mode (a line on
/// standard output) or a full table ("QEL FILE Overflow").
int fio_open_file(const char* name, const char* mode, int recl);

/// Reads one line (at most size-1 characters, newline and a carriage return before
/// it removed). 1, or 0 at end of file, error or a channel not open, with buf set to
/// a single blank. Channel 0 reads standard input.
int fio_read(int ch, char* buf, int size);
/// As fio_read; *length (when not null) receives the line's whole length in bytes
/// (0 at end of file), characters beyond size-1 included. A length above
/// strlen(buf) within the buffer shows a NUL byte in the line.
int fio_read_len(int ch, char* buf, int size, std::size_t* length);
/// Writes text without its trailing blanks and ends the line. 1, or 0 on failure
/// or a channel not open. Null text writes an empty line.
int fio_write(int ch, const char* text);
/// Writes text whole without a line end; the column advances. 1 or 0 as fio_write.
int fio_write_prompt(int ch, const char* text);
/// Ends the line when a prompt left it open. 1 or 0 as fio_write.
int fio_write_eol(int ch);
/// Closes the channel and frees its entry. Channels below 1, free channels and
/// the standard streams (5, 6, 7) are left as they are.
void fio_close(int ch);

/// Name and mode name of a channel (a single blank for a free or invalid channel).
/// The text belongs to the channel table and changes when the channel is closed.
const char* fio_get_name(int ch);
const char* fio_get_type(int ch);
/// Column reached by prompts on the current line (channel 0: the terminal's); 0
/// for a free channel.
int fio_get_pos(int ch);
/// Lines read or written since the open; 0 for a free channel.
int fio_get_lineno(int ch);
/// True when the last operation on the channel met end of file or an error.
bool fio_test_eof(int ch);
/// Makes an open channel good again and clears its stream's flags.
void fio_clear_eof(int ch);
/// The channel's stream (stdout for channel 0; null for a CIO or free channel).
/// It belongs to the channel: close it with fio_close, never fclose.
FILE* fio_file_fptr(int ch);
/// The channel's file descriptor (standard output's for channel 0; -1 for a free channel).
int fio_get_cfd(int ch);
/// True when the file exists (trailing blanks ignored; null or blank gives false).
bool fio_inquire(const char* name);
/// True for the interactive channels 0, 5 and 6.
bool fio_int(int ch);
/// Sets the channel's record length (kept, not used by stream reads or writes).
void fio_set_recl(int ch, int recl);
/// The channel's record length; 0 for a free channel.
int fio_get_recl(int ch);
/// Sets the retry flag of fio_open_retry (0 at start-up).
void fio_set_retry(int flag);
/// The retry flag.
int fio_get_retry(void);
/// Sets the directory put in front of relative names by later opens (cut to 80
/// characters; null or blank clears it).
void fio_change_dir(const char* dir);

/// Sets the search path from the environment variable QELPATH (empty when unset).
void fio_path_init(void);
/// Sets the search path from text: words separated by blanks, commas or semicolons,
/// "$NAME" replaced by that variable's value, at most 20 kept (more are reported).
void fio_path_set(const char* text);
/// Writes the search path, one directory a line, on the current output channel.
void fio_path_list(void);
/// Locates name along the search path; out (room bytes) receives the path found,
/// or the name unchanged. True when a file was found. A name beginning with '/' is
/// not searched; a null or blank name gives false.
bool fio_inquire_path(const char* name, char* out, int room);

/// Pushes ch as the current input channel; above 20 levels the top is replaced
/// ("Too many files on input IO stack").
void io_ipush(int ch);
/// Closes the current input channel (unless interactive) and returns to the one below.
void io_ipop(void);
/// Pushes ch as the current output channel, as io_ipush.
void io_opush(int ch);
/// Closes the current output channel (unless interactive) and returns to the one
/// below; the bottom level falls back to channel 6.
void io_opop(void);

/// Turns the pager of terminal writes on or off (off at start-up).
void pager_set(int flag);
/// Sets the page length (40 at start-up); below 1 is ignored.
void pager_set_length(int n);
/// Writes the pager's flag, page length, line counter and quiet flag on the
/// current output channel.
void pager_print_state(void);
