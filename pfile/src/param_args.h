// param_args.h -- command-line arguments of a parameter file: the words
// after a task's name ("value", "name=value", "name=", "name+", "name-") turned
// into the file's command-line list, whose values a get prefers to stored ones.
#pragma once

#include "pfile/pfile.h"

/// Parses argv[1] .. argv[argc-1] (argv[0], the task's name, is skipped) against
/// the parameters of list. Returns a new list of records (name, type, mode word,
/// string value): mode 0 for a positional value, LearnMode for "name=value",
/// "name+" ("yes") and "name-" ("no"), QueryMode with "" for "name=". A later
/// word for the same parameter replaces an earlier one. Unmatched names and
/// surplus positional values (parerr PARAM_TOO_MANY_POSITIONAL) are dropped. Null
/// when there is nothing to parse, or after "Sorry, Arguments not ok, try again."
/// on stderr when a positional value follows a "name=" word. Freed with PListFree.
ParamList* ParamFileArgs(ParamList* list, char** argv, int argc);
/// The argument parser behind ParamFileArgs, with the same contract.
ParamList* IRAFParArgs(ParamList* list, char** argv, int argc);

/// The parameter name an argument name stands for: the name itself when a
/// parameter has exactly that name (a field suffix such as ".p_min" is ignored for
/// matching and kept), else the one parameter whose name it begins, with the
/// suffix appended. Two or more candidates (parerr PARAM_NOT_UNIQUE) or none give
/// null and a "parammatch : ..." line on stderr. The result is malloc'd; free it
/// with free().
char* ParamMatch(ParamList* list, const char* name);

/// The record for the positional value at 1-based position: it lands on the
/// position-th parameter that is neither a comment nor hidden, and takes that
/// parameter's name and type, mode word 0. Null with parerr
/// PARAM_TOO_MANY_POSITIONAL past the last one. The caller owns the record
/// (ParamFree).
Parameter* ParamPositional(ParamList* list, int position, const char* value);
