// dm/src/dm_error.cpp -- the data model's library error code: one integer for
// the whole library, set by the last failing step and cleared only by dmInit.
#include "dm_kernel.h"

namespace {
int g_dm_error = 0;
}

void dmiErrorSet(int code) { g_dm_error = code; }
void dmkErrorSet(int code) { g_dm_error = code; }
int dmiErrorGet(void) { return g_dm_error; }
