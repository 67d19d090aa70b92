// dm/src/dm_error.cpp -- the data model's library error code: one integer for
// the whole library, set by the last failing step and cleared only by dmInit,
// and beside it the text that explains the last failure a kernel reported.
// Both are fields of dm_state.
#include <cstdio>

#include "dm_kernel.h"

namespace {
int& g_dm_error = dm_state.error;
char (&g_dm_text)[DM_ERROR_TEXT_LEN + 1] = dm_state.error_text;
}  // namespace

void dmiErrorSet(int code) { g_dm_error = code; }
void dmkErrorSet(int code) { g_dm_error = code; }
int dmiErrorGet(void) { return g_dm_error; }

void dmiErrorReport(int code, const char* text) {
  g_dm_error = code;
  std::snprintf(g_dm_text, sizeof g_dm_text, "%s", text != nullptr ? text : "");
}

void dmErrorGetText(char* buf, int size) {
  if (buf == nullptr || size < 1) return;
  std::snprintf(buf, static_cast<size_t>(size), "%s", g_dm_text);
}
