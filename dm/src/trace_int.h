// dm/src/trace_int.h -- the data model's trace lines, shared by the inner
// layer, the FITS kernel and the value store: progress lines and the
// record-accounting ALLOC/FREE lines printed at a debug level.
#pragma once

/// Formats and writes a trace line through dmsg, only when level is enabled;
/// nothing is formatted when it is not.
void dmiTrace(long level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
/// An address as trace lines print it, so that ALLOC and FREE lines pair up.
long dmiAddr(const void* p);
