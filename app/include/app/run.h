// app/run.h -- the whole varto run as one call, for programs that embed it.
//
// varto::run does what the varto program does with its command-line words: it
// gathers the parameters, reads the inputs, bins the good time by gain, writes
// the output table and prints the report. It changes no process state: it
// does not change the working folder, installs no signal handler and never
// exits; every line it would print goes to the caller's sink.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varto {

/// The stream a report line belongs to: what the program prints on standard
/// output, or on standard error.
enum class Stream { out, err };

/// Receives every piece of text a run prints, in order, newlines included.
/// Null sends standard output's text to stdout and standard error's to stderr,
/// as the program does. When outfile names standard output ("-", "stdout"),
/// which then carries the FITS file, every piece comes as Stream::err.
using Sink = std::function<void(Stream stream, std::string_view text)>;

/// What a run is asked to do.
struct RunOptions {
  /// The parameter words, as on the command line ("pos=src.reg", "ghist=3,7,0.05").
  std::vector<std::string> words;
  /// The folder against which relative file names are taken, without changing
  /// the working folder: the inputs (events, aspect, maps, steps, pos), outfile
  /// and its private temporary folder, the parameter file and the folders of
  /// its search (PDIRS, PFILES, UPARM and "."), and gain.time at d=1. Absolute
  /// names and names CFITSIO reads as no plain file ("-", "stdin", "stdout",
  /// "mem://...") stay as they are. The report, the messages and the output's
  /// HISTORY cards name the files as given, as the program run in that folder
  /// does. Empty for the working folder.
  std::string cwd;
  /// Where the report goes.
  Sink sink;
  /// False: a parameter the interface would ask for on the terminal is an
  /// error instead of a prompt.
  bool queries = true;
  /// False: no parameter file is read; only the words and the defaults count.
  bool read_parameter_file = true;
  /// False: no output file is written (outfile is ignored).
  bool write_output = true;
};

/// The output of a finished run, kept so that it can be written again.
struct RunOutput;

/// What a run gave.
struct RunResult {
  /// The program's exit status: 0 when the run completed, 1 when it was refused or stopped.
  int status = 1;
  /// The first error line the run printed; empty when there was none.
  std::string error;
  /// True when the output file was written.
  bool wrote_output = false;
  /// The GAIN_HIST rows: bin centre, share of the good time, seconds.
  std::vector<double> gain, weight, exposure;
  double avg_gain = 0.0;
  /// The exposure ledger: each header key of GAIN_HIST with its seconds, in
  /// the order the table writes them.
  std::vector<std::pair<std::string, double>> ledger;
  /// The positions used (sky pixels) and, when has_sky, their RA and Dec (degrees).
  std::vector<double> x, y, ra, dec;
  bool has_sky = false;
  /// One in every step positions of a region was kept; the region file, if any.
  int step = 1;
  std::string region;
  /// What write_output needs; null when the run did not complete.
  std::shared_ptr<const RunOutput> output;
};

/// Runs varto once. Safe to call from several threads at once: each call gives
/// what a run of the program alone would give.
///
/// Process-wide state and how runs share it: each thread has its own sink,
/// debug level and routine stack, and terminal column. The utility library's
/// channel table, message-channel stacks and search path, the data model's
/// state and error text, the parameter-file library's open files and error
/// state, CFITSIO, and the list of half-written outputs that the program's
/// signal handlers remove are process-wide: a run holds one library lock while
/// it reads parameters and inputs, writes the table and lists the result, and
/// lets it go while it bins. Runs on several threads therefore bin at the same
/// time but read and write one after another.
///
/// The error is, for a run that stopped, the first line on standard error that
/// is neither a debug line ("[*") nor a warning, else the first report line
/// that begins a failure message, else the last report line.
RunResult run(const RunOptions& options);

/// Writes the output file of a completed run to path, as the program would
/// have written it with outfile=path (DATE aside). 0, or 1 after the
/// program's message on the sink when the file cannot be written.
int write_output(const RunResult& result, const std::string& path, const Sink& sink);

}  // namespace varto
