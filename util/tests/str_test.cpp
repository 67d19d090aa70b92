// Tests of the string toolkit: comparison with trailing blanks, sub-strings,
// the tokeniser and token appending, string lists.
#include <cstring>
#include <string>
#include <vector>

#include "util_test_helpers.h"

namespace {

class StrTest : public UtilTest {};

std::vector<std::string> tokens(const char* text, int mode, int n,
                                std::vector<int>* seps = nullptr) {
  std::vector<std::string> out;
  const char* cur = text;
  std::vector<char> buf(static_cast<std::size_t>(n) + 1);
  while (cur != nullptr && out.size() < 50) {
    int sep = cs_get_token(&cur, buf.data(), mode, n);
    out.emplace_back(buf.data());
    if (seps) seps->push_back(sep);
  }
  return out;
}

TEST_F(StrTest, CsEq_trailingBlanksAndCase) {
  EXPECT_TRUE(cs_eq("ABC", "ABC   "));
  EXPECT_TRUE(cs_eq("ABC   ", "ABC"));
  EXPECT_FALSE(cs_eq("ABC", "ABCD"));
  EXPECT_TRUE(cs_eq("", "   "));
  EXPECT_FALSE(cs_eq("abc", "ABC"));
  EXPECT_FALSE(cs_eq(" ABC", "ABC"));  // leading blanks count
  EXPECT_TRUE(cs_uceq("abc", "ABC   "));
  EXPECT_FALSE(cs_uceq("abc", "ABD"));
  EXPECT_FALSE(cs_uceq("abc", "ABC x"));
}

TEST_F(StrTest, CsUceq_comparesLongStringsWhole) {
  std::string a(300, 'a'), b(300, 'A');
  EXPECT_TRUE(cs_uceq(a.c_str(), b.c_str()));
  b[290] = 'B';  // a difference past 255 characters still counts
  EXPECT_FALSE(cs_uceq(a.c_str(), b.c_str()));
}

TEST_F(StrTest, CsEqSiz_restMustBeBlank) {
  EXPECT_TRUE(cs_eq_siz("ABCDEF", "ABCxyz", 3));
  EXPECT_FALSE(cs_eq_siz("ABCDEF", "ABCxyz", 4));
  EXPECT_TRUE(cs_eq_siz("AB", "AB      ", 3));
  // the other's whole rest counts, not only up to n
  EXPECT_FALSE(cs_eq_siz("AB", "AB    x", 3));
  EXPECT_TRUE(cs_eq_ss("xxHELLOxx", 3, 7, "HELLO"));
  EXPECT_FALSE(cs_eq_ss("xxHELLOxx", 3, 7, "HELP"));
  EXPECT_TRUE(cs_eq_ss("xxHE", 3, 7, "HE  "));
}

TEST_F(StrTest, CsEndsBegs_measureBlanks) {
  EXPECT_EQ(cs_ends("ab  "), 2);
  EXPECT_EQ(cs_ends("   "), 0);
  EXPECT_EQ(cs_begs("  ab"), 3);
  EXPECT_EQ(cs_begs("ab"), 1);
  EXPECT_EQ(cs_begs(""), 1);
  EXPECT_EQ(cs_begs("   "), 3);
  EXPECT_TRUE(cs_is_blank("   "));
  EXPECT_FALSE(cs_is_blank(" \t"));  // a tab is not a blank
}

TEST_F(StrTest, CsGetSsPutSs_bounds) {
  char out[16];
  cs_get_ss("HELLO", out, 2, 4);
  EXPECT_STREQ(out, "ELL");
  cs_get_ss("HELLO", out, 4, 2);
  EXPECT_STREQ(out, "");
  cs_get_ss("HELLO", out, 4, 10);
  EXPECT_STREQ(out, "LO");
  char buf[12] = "xxxxxxxxZZ";
  cs_put_ss("ab", buf, 3, 6);
  EXPECT_STREQ(buf, "xxab  xxZZ");
  cs_put_ss("abcdef", buf, 1, 2);
  EXPECT_STREQ(buf, "abab  xxZZ");
}

TEST_F(StrTest, CsCopySiz_cutsAndTerminates) {
  char out[8];
  std::memset(out, 'z', sizeof out);
  cs_copy_siz("abcdefgh", out, 3);
  EXPECT_STREQ(out, "abc");
  cs_copy_siz(nullptr, out, 3);
  EXPECT_STREQ(out, "");
  std::memset(out, 'z', sizeof out);
  cs_copy_siz("abc", out, 0);  // a count below 1 gives an empty string
  EXPECT_STREQ(out, "");
}

TEST_F(StrTest, CsIndexAndSplit) {
  EXPECT_EQ(cs_index("a=b", "="), 2);
  EXPECT_EQ(cs_index("ab", "="), 0);
  EXPECT_EQ(cs_eindex("a=b=c", 3, "="), 4);
  EXPECT_EQ(cs_eindex("a=b=c", -1, "="), 0);
  EXPECT_EQ(cs_eindex("a=b", 10, "="), 0);
  char head[16], tail[16];
  subcmd_split("key=val", head, tail, '=');
  EXPECT_STREQ(head, "key");
  EXPECT_STREQ(tail, "val");
  subcmd_split("noeq", head, tail, '=');
  EXPECT_STREQ(head, "noeq");
  EXPECT_STREQ(tail, " ");
  subcmd_split("=val", head, tail, '=');
  EXPECT_STREQ(head, " ");
  EXPECT_STREQ(tail, "val");
}

TEST_F(StrTest, CsGetToken_wordModeSeparators) {
  std::vector<int> seps;
  EXPECT_EQ(tokens("a , b", CS_TOKEN_WORD, 31, &seps), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(seps, (std::vector<int>{' ', ',', 0}));
  EXPECT_EQ(tokens("a,b", CS_TOKEN_WORD, 31), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(tokens("  12.5 , 7  ", CS_TOKEN_WORD, 31), (std::vector<std::string>{"12.5", "", "7"}));
  EXPECT_EQ(tokens("a;b c", CS_TOKEN_WORD, 31), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(StrTest, CsGetToken_bracketsKeepSeparators) {
  EXPECT_EQ(tokens("f(x, y) z", CS_TOKEN_WORD, 31), (std::vector<std::string>{"f(x, y)", "z"}));
  EXPECT_EQ(tokens("g((a b),c) d", CS_TOKEN_WORD, 31),
            (std::vector<std::string>{"g((a b),c)", "d"}));
  EXPECT_EQ(tokens("one two; three", CS_TOKEN_PHRASE, 31),
            (std::vector<std::string>{"one two", "three"}));
}

TEST_F(StrTest, CsGetToken_longWordCutAndConsumed) {
  std::string word(40, 'w');
  for (int k = 0; k < 40; ++k) word[static_cast<std::size_t>(k)] = static_cast<char>('A' + k % 26);
  std::string text = word + " next";
  const char* cur = text.c_str();
  char buf[40];
  std::memset(buf, '#', sizeof buf);
  cs_get_c(&cur, buf, 31);
  EXPECT_EQ(std::string(buf), word.substr(0, 31));
  EXPECT_EQ(buf[31], '\0');
  EXPECT_EQ(buf[32], '#');  // nothing written past n+1 bytes
  ASSERT_NE(cur, nullptr);
  cs_get_c(&cur, buf, 31);
  EXPECT_STREQ(buf, "next");
  EXPECT_EQ(cur, nullptr);
}

TEST_F(StrTest, CsGetToken_cursorBecomesNull) {
  const char* cur = "last   ";
  char buf[32];
  cs_get_c(&cur, buf, 31);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(cur, nullptr);
  // A null cursor gives an empty token and stays null.
  std::strcpy(buf, "junk");
  EXPECT_EQ(cs_get_c(&cur, buf, 31), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(cur, nullptr);
  const char* blank = "    ";
  cs_get_c(&blank, buf, 31);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(blank, nullptr);
}

TEST_F(StrTest, CsGetToken_lineModeIsBounded) {
  const char* cur = "  rest of line";
  char buf[8];
  cs_get_cl(&cur, buf, 7);
  EXPECT_STREQ(buf, "  rest ");
  EXPECT_EQ(cur, nullptr);
}

TEST_F(StrTest, CsGetToken_badModeChangesNothing) {
  const char* text = "abc";
  const char* cur = text;
  char buf[8] = "keep";
  Captured c = capture([&] { cs_get_token(&cur, buf, 7, 7); });
  EXPECT_EQ(c.out, "Bad token mode\n");
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(cur, text);
}

TEST_F(StrTest, CsGetNumbers_defaults) {
  const char* cur = "12 , 2.5 yes";
  EXPECT_EQ(cs_get_i(&cur), 12);
  EXPECT_EQ(cs_getd_i(&cur, 99), 99);  // the empty token between blank and comma
  EXPECT_DOUBLE_EQ(cs_get_d(&cur), 2.5);
  EXPECT_TRUE(cs_get_q(&cur));
  EXPECT_EQ(cur, nullptr);
  EXPECT_DOUBLE_EQ(cs_getd_d(&cur, 7.0), 7.0);
}

TEST_F(StrTest, CsPutToken_roomAndSeparator) {
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  char* cur = buf;
  int room = 3;
  cs_put_token("abcd", &cur, '/', &room);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(room, 0);
  EXPECT_EQ(cur, buf + 3);

  cur = buf;
  room = 10;
  cs_put_c("ab", &cur, &room);
  cs_put_i(42, &cur, &room);
  cs_put_d(0.5, &cur, &room);
  EXPECT_STREQ(buf, "ab 42 0.5 ");
  EXPECT_EQ(room, 3);  // separators take no room
}

TEST_F(StrTest, ListParse_stopsAtMax) {
  char** list = alloc_array_c(4, 3);
  EXPECT_EQ(list_parse("alpha,b c d e", list, 4, 3), 3);
  EXPECT_STREQ(list[0], "alph");
  EXPECT_STREQ(list[1], "b");
  EXPECT_STREQ(list[2], "c");
  EXPECT_EQ(list_parse("   ", list, 4, 3), 0);
  free_array_c(list);
}

TEST_F(StrTest, Matching_indexesAndOverflow) {
  char** list = alloc_array_c(8, 2);
  int n = 0;
  EXPECT_EQ(cs_list_add(list, &n, 2, "ONE"), 1);
  EXPECT_EQ(cs_list_add(list, &n, 2, "TWO"), 2);
  EXPECT_EQ(cs_list_add(list, &n, 2, "ONE  "), 1);
  Captured c = capture([&] { EXPECT_EQ(cs_list_add(list, &n, 2, "THREE"), 0); });
  EXPECT_EQ(c.out, "Routine list_add: list overflow\n");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(match_c("TWO", list, n), 2);
  EXPECT_EQ(cmatch_c("TWO", list, n), 1);
  EXPECT_EQ(match_c("NONE", list, n), 0);
  EXPECT_EQ(cmatch_c("NONE", list, n), -1);
  EXPECT_EQ(matchr_c("ONE", list, 2, 2), 0);
  EXPECT_EQ(matchr_c("TWO", list, 2, 2), 2);
  free_array_c(list);
  const char packed[] = "AB\0\0CDE\0XY\0\0";
  EXPECT_EQ(cs_match("CDE", packed, 3, 3), 2);
  EXPECT_EQ(cs_match("XY", packed, 3, 3), 3);
  EXPECT_EQ(cs_match("Q", packed, 3, 3), 0);
}

TEST_F(StrTest, CaseAndConcat) {
  char s[32] = "hELLO wORLD";
  cs_mixcase(s);
  EXPECT_STREQ(s, "Hello world");
  char out[32];
  cs_conc("ab  ", "cd", out);
  EXPECT_STREQ(out, "abcd");
  cs_conc1("ab  ", "cd", out);
  EXPECT_STREQ(out, "ab cd");
  char line[16] = "text\r\n";
  cs_remove_nl(line);
  EXPECT_STREQ(line, "text");
  EXPECT_EQ(esc_get_char(ESC_WORD), ',');
  EXPECT_EQ(esc_get_char(ESC_ARG), ' ');
}

}  // namespace
