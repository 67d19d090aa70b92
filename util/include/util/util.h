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
//    output and error, 1..100 entries of the channel table.
#pragma once

#include <cstdint>
#include <cstdio>

#include "util/util_limits.h"

// ---------------------------------------------------------------------------
// Messages and channels of the message routines
// ---------------------------------------------------------------------------

/// Writes text, trailing blanks removed, as one line on the current output channel.
void msg(const char* text);
/// Writes text whole (trailing blanks kept), without a line end, on the current output channel.
void msgl(const char* text);
/// Ends the current line of the current output channel.
void msg_endline(void);
/// Writes one line on the terminal (channel 0, through the pager).
void tmsg(const char* text);
/// Writes a prompt on the terminal without a line end.
void tmsgl(const char* text);
/// Writes one line on the error channel.
void err_msg(const char* text);
/// Writes "text item" (joined by one blank) as one line on the error channel.
void err_msg1(const char* text, const char* item);
/// Writes one line of n '-' characters on the current output channel (n = 0: empty line).
void dashline(int n);

/// Set the current output, input or error channel; 0 selects 6, 5 or 7.
void io_out(int ch);
void io_in(int ch);
void io_err(int ch);
/// The current output channel when flag is set, else the current input channel.
int io_chan(int flag);
/// Reads one line from the current input channel (or the terminal). Returns 1, or 0 at end.
int io_input(char* buf, int size);
int tty_input(char* buf, int size);
void io_print_state(void);
/// Resets the message channels: input 5, output 6, errors 7.
void io_init(void);

// ---------------------------------------------------------------------------
// Debug levels, routine stack, version registry, start-up
// ---------------------------------------------------------------------------

void dbg_set(long level);
void dbg_setpkg(const char* name, long level);
/// Registers a package name (level 0) if new; returns its 0-based index, or -1 on overflow.
int dbg_addpkg(const char* name);
void dbg_push(const char* package, const char* routine);
void dbg_pop(void);
/// Effective debug level: max(global, package level of the innermost routine).
long dbg_get(void);
/// True when the effective level is at least n.
bool dbg_level(long n);
/// Diagnostic line "[*L]" padded to 6 columns, then text, on the error channel,
/// when level <= effective level.
void dmsg(long level, const char* text);
/// As dmsg, with text and item concatenated without a separator.
void dmsg1(long level, const char* text, const char* item);
/// Formats the tag "[*L]" alone into buf (at least 32 bytes).
void dmsg_tag(long level, char* buf);
void dbg_trace(int flag);
void dbg_listpkg(void);
void dbg_disptree(void);
void dbg_disppkg(void);

/// Registers package/version. 0 when new, 1 when known (warns on a version mismatch).
int ver_init(const char* package, const char* version);
void ver_msg(void);
/// Copies the library version "CV1.4" into buf (at least 32 bytes).
void rirade_ver(char* buf);

/// Library start-up; call once, first. A second call does nothing. Returns 0.
int rirade_init(void);
void rirade_layer1_init(void);
/// Start-up of the command-token buffers and the unit registers.
void tpio_init(void);
void unit_init(void);

// ---------------------------------------------------------------------------
// System services
// ---------------------------------------------------------------------------

/// Copies environment variable name into buf (size bytes, always terminated); unset gives "".
void sys_getenv(const char* name, char* buf, int size);
/// Removes a file. 0 on success, -1 on failure.
int sys_delete(const char* path);
void sys_wait(int seconds);
/// Runs a shell command; returns its status.
int sys(const char* command);
/// Runs "cat path".
int sys_type(const char* path);
/// Joins args[1..count-1], each without trailing blanks and followed by one blank.
void sys_cmdline(char** args, int count, char* buf, int room);
/// Local date "%Y%m%d", time "%H%M%S.000", zone "%z" (each buffer at least 31 bytes).
void date_and_time(char* date, char* time, char* zone);
void sys_today(char* buf, int size);
void sys_time(char* buf, int size);
void sys_date(char* buf, int size);
double sys_stamp(void);
/// "%s (%s)" with sys_today and text, into buf of size bytes.
void rirade_id(char* buf, int size, const char* text);

// ---------------------------------------------------------------------------
// String toolkit
// ---------------------------------------------------------------------------

void cs_copy(const char* src, char* dst);
/// Copies at most n characters and always terminates (dst holds n+1).
void cs_copy_siz(const char* src, char* dst, int n);
void cs_get_ss(const char* s, char* dst, int i, int j);
void cs_put_ss(const char* src, char* dst, int i, int j);
void cs_zero(char* s);
void cs_null(char* s, int n);
void cs_denull(char* s, int n);
void cs_conc(const char* a, const char* b, char* out);
void cs_conc1(const char* a, const char* b, char* out);
void cs_remove_nl(char* s);
void cs_upper(char* s);
void cs_lower(char* s);
void cs_mixcase(char* s);

int cs_ends(const char* s);
int cs_begs(const char* s);
bool cs_is_blank(const char* s);
void cs_advptr(const char** p);
char cs_logic(bool flag);
bool digit_char(int c);
bool alpha_char(int c);
bool numeric_char(int c);

bool cs_eq(const char* a, const char* b);
bool cs_uceq(const char* a, const char* b);
bool cs_eq_siz(const char* a, const char* b, int n);
bool cs_eq_ss(const char* s, int i, int j, const char* t);

int cs_index(const char* s, const char* p);
int cs_eindex(const char* s, int i, const char* p);
int cs_index_char(const char* s, char c);
bool cs_ss(const char* s, const char* p);
bool cs_ss_char(const char* s, char c);
/// Splits s at the first c. head and tail must each hold strlen(s)+2 bytes.
void subcmd_split(const char* s, char* head, char* tail, char c);

int match_c(const char* s, char** list, int n);
int cmatch(const char* s, char** list, int n);
int cmatch_c(const char* s, char** list, int n);
int matchr_c(const char* s, char** list, int i, int j);
int cs_match(const char* s, const char* packed, int n, int w);
int cs_list_add(char** list, int* n, int max, const char* s);
/// Splits s into tokens (cs_get_c) cut to w characters into list[0], list[1], ...
/// Stops at max entries (the size of the list). Returns the number of tokens stored.
int list_parse(const char* s, char** list, int w, int max);

/// Token modes of cs_get_token.
constexpr int CS_TOKEN_WORD = 0;
constexpr int CS_TOKEN_PHRASE = 1;
constexpr int CS_TOKEN_LINE = 2;

/// The tokeniser: copies the next token (at most n characters) into buf, advances the
/// cursor past it, and sets the cursor to null when only blanks remain. Returns the
/// separator that ended the token, 0 at the end of the text. In mode 2 (rest of the line)
/// buf must hold the whole remaining text.
int cs_get_token(const char** cursor, char* buf, int mode, int n);
int cs_get_c(const char** cursor, char* buf, int n);
int cs_get_cs(const char** cursor, char* buf, int n);
int cs_get_cl(const char** cursor, char* buf, int n);
int cs_get_i(const char** cursor);
int16_t cs_get_s(const char** cursor);
float cs_get_r(const char** cursor);
double cs_get_d(const char** cursor);
bool cs_get_q(const char** cursor);
int cs_getd_i(const char** cursor, int def);
int16_t cs_getd_s(const char** cursor, int16_t def);
float cs_getd_r(const char** cursor, float def);
double cs_getd_d(const char** cursor, double def);

void cs_put_token(const char* text, char** cursor, char sep, int* room);
void cs_put_c(const char* text, char** cursor, int* room);
void cs_put_cs(const char* text, char** cursor, int* room);
void cs_put_cn(const char* text, char** cursor, int* room);
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
void esc_init(void);
char esc_get_char(int k);

// ---------------------------------------------------------------------------
// Arrays, vectors and numeric routines (angles in degrees)
// ---------------------------------------------------------------------------

/// count empty slots of len characters plus terminator, in one block.
char** alloc_array_c(int len, int count);
void free_array_c(char** list);
/// count zeroed 3-vectors of doubles, in one block.
double** vec_alloc_d(int count);
void vec_free_d(double** list);
void vcopy_d(const double* src, double* dst);
void vzero_d(double* v);
bool vnull_d(const double* v);
void ar_zero_i(int* a, int n);
void ar_zero_r(float* a, int n);
void ar_zero_d(double* a, int n);
void ar_copy_i(const int* src, int* dst, int n);
void ar_stats_d(const double* a, int n, double* mean, double* var);
int min_i(int a, int b);
int max_i(int a, int b);
double lint_d(double x1, double x2, double y1, double y2, double x);
double rlap_check_d(double x, double lo, double hi, bool* below, bool* above);
bool overlap_d(double a1, double a2, double b1, double b2, double* o1, double* o2);
double radin_d(double deg);
double radout_d(double rad);
double dcosd(double deg);
double dsind(double deg);
void rotate2_d(double x, double y, double angle, double* x2, double* y2);

// ---------------------------------------------------------------------------
// Number reading and writing, null and infinity values
// ---------------------------------------------------------------------------

double read_d(const char* s);
float read_r(const char* s);
int32_t read_i(const char* s);
int16_t read_s(const char* s);
bool read_q(const char* s);

/// buf must hold n+1 bytes; the short forms of write_r/write_d need 14 bytes.
void write_i(int32_t v, char* buf, int n);
void write_s(int16_t v, char* buf, int n);
void write_r(float v, char* buf, int n);
void write_d(double v, char* buf, int n);
char write_q(bool flag);
void writef_i(int32_t v, const char* fmt, char* buf, int n);
void writef_s(int16_t v, const char* fmt, char* buf, int n);
void writef_r(float v, const char* fmt, char* buf, int n);
void writef_d(double v, const char* fmt, char* buf, int n);

void nan_init(void);
int16_t nan_s(void);
int32_t nan_i(void);
float nan_r(void);
double nan_d(void);
int16_t infinity_s(int sign);
int32_t infinity_i(int sign);
float infinity_r(int sign);
double infinity_d(int sign);
bool qnan_s(int16_t v);
bool qnan_i(int32_t v);
bool qnan_r(float v);
bool qnan_d(double v);
bool qinf_s(int16_t v);
bool qinf_i(int32_t v);
bool qinf_r(float v);
bool qinf_d(double v);

int16_t read_binary_s(const char* text, char base);
int32_t read_binary_i(const char* text, char base);
float read_binary_r(const char* text, char base);
double read_binary_d(const char* text, char base);

// ---------------------------------------------------------------------------
// File and terminal channels
// ---------------------------------------------------------------------------

/// Open a file; each returns the channel number, or 0 when nothing was opened
/// (a blank name or "*" means the terminal and also gives 0).
int fio_open_r(const char* name);
int fio_open_w(const char* name);
int fio_open_a(const char* name);
int fio_open_d(const char* name, int recl);
int fio_open_retry(const char* name, const char* mode, int recl);
int fio_open_file(const char* name, const char* mode, int recl);

/// Reads one line (at most size-1 characters, newline removed). 1, or 0 at end
/// of file or error with buf set to a single blank.
int fio_read(int ch, char* buf, int size);
int fio_write(int ch, const char* text);
int fio_write_prompt(int ch, const char* text);
int fio_write_eol(int ch);
void fio_close(int ch);

/// Name and mode name of a channel (a single blank for a free or invalid channel).
const char* fio_get_name(int ch);
const char* fio_get_type(int ch);
int fio_get_pos(int ch);
int fio_get_lineno(int ch);
bool fio_test_eof(int ch);
void fio_clear_eof(int ch);
FILE* fio_file_fptr(int ch);
int fio_get_cfd(int ch);
bool fio_inquire(const char* name);
bool fio_int(int ch);
void fio_set_recl(int ch, int recl);
int fio_get_recl(int ch);
void fio_set_retry(int flag);
int fio_get_retry(void);
void fio_change_dir(const char* dir);

void fio_path_init(void);
void fio_path_set(const char* text);
void fio_path_list(void);
/// Locates name along the search path; out (room bytes) receives the path found,
/// or the name unchanged. True when a file was found.
bool fio_inquire_path(const char* name, char* out, int room);

void io_ipush(int ch);
void io_ipop(void);
void io_opush(int ch);
void io_opop(void);

void pager_set(int flag);
void pager_set_length(int n);
void pager_print_state(void);
