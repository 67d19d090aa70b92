// rdb_format.h -- tab-separated ("RDB") parameter files, the second format
// of the parameter-file library beside the IRAF syntax: a header line of column
// names, a line of dashes, then one parameter per line.
#pragma once

#include <cstdio>

#include "pfile/pfile.h"

/// Finds filename again with the ".rdb" extension along "$PDIRS $PFILES $UPARM .",
/// opens it ("r+" when mode holds 'w', else "r") and parses it. Null when the name
/// is null or the file cannot be found or opened; ParamFileCant when it does not
/// parse (bad header, or no parameter line). The list owns the stream.
ParamList* RDBParOpen(const char* filename, const char* mode);
/// Rewinds stream and parses it again; a new list (stream not attached), or null.
ParamList* RDBParRead(FILE* stream, const char* mode);
/// Rewrites the whole file from list: header, dashes, one line per parameter
/// (comment records are not representable and are left out); a tab or newline
/// inside a field is written as the value escape "\t" or "\n". Flushes and
/// truncates the file at its new end.
void RDBParWrit(FILE* stream, ParamList* list, const char* mode);
