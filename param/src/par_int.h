// par_int.h -- helpers shared by the parameter table's two file readers: the
// plain layout and the hand-off to the parameter-file library.
#pragma once

#include <string>

/// Why the file filename, which could not be opened or read, is unusable:
/// "" when it does not exist (a missing parameter file is allowed).
std::string par_unreadable_reason(const char* filename);
/// Writes "Cannot read parameter file <filename>[: <reason>]" on the error channel.
void par_refuse_file(const char* filename, const char* reason);

/// The flags of the par_open_with call in progress on this thread (PAR_NO_QUERIES).
extern thread_local int par_open_flags;
