// pfile/tests/pty_helpers.h -- runs a piece of code in a child process whose
// controlling terminal is a fresh pseudo-terminal, types keys into it and
// collects what the child shows on the terminal and what it reports back.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pty_test {

/// Keys to type once `waitFor` has appeared on the terminal (after the text
/// matched by the previous step). An empty waitFor types at once.
struct Step {
  std::string waitFor;
  std::string keys;
};

struct PtyRun {
  std::string screen;  // everything the child wrote to the terminal
  std::string report;  // everything the child wrote to its report descriptor
  int status = -1;     // wait status of the child
  bool timedOut = false;
};

/// Forks a child on a new pseudo-terminal (so "/dev/tty" is that terminal) with
/// standard output sent to /dev/null; the child runs body(reportFd) and exits 0.
/// The parent types the steps, drains the terminal and waits for the child
/// (killing it after timeoutMs).
PtyRun runOnPty(const std::function<void(int reportFd)>& body, const std::vector<Step>& steps,
                int timeoutMs = 10000);

/// Writes text to fd in full (child side).
void writeReport(int fd, const std::string& text);

}  // namespace pty_test
