// pfile/tests/pty_helpers.cpp -- pseudo-terminal driver for tests of code that
// reads the terminal device: forkpty gives the child a new session whose
// controlling terminal is the pty, the parent plays the user on the master side.
#include "pty_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace pty_test {

void writeReport(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

PtyRun runOnPty(const std::function<void(int reportFd)>& body, const std::vector<Step>& steps,
                int timeoutMs) {
  PtyRun run;
  int pfd[2];
  if (pipe(pfd) != 0) return run;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    close(pfd[0]);
    close(pfd[1]);
    return run;
  }
  if (pid == 0) {
    close(pfd[0]);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, STDOUT_FILENO);
      close(devnull);
    }
    body(pfd[1]);
    close(pfd[1]);
    _exit(0);
  }

  close(pfd[1]);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(pfd[0], F_SETFL, fcntl(pfd[0], F_GETFL) | O_NONBLOCK);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t matchedUpTo = 0;
  size_t nextStep = 0;
  std::string pending;
  bool masterOpen = true;
  bool reportOpen = true;
  char buf[4096];

  while (reportOpen) {
    while (pending.empty() && nextStep < steps.size()) {
      const Step& step = steps[nextStep];
      if (!step.waitFor.empty()) {
        size_t pos = run.screen.find(step.waitFor, matchedUpTo);
        if (pos == std::string::npos) break;
        matchedUpTo = pos + step.waitFor.size();
      }
      pending = step.keys;
      ++nextStep;
    }

    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    pollfd fds[2] = {};
    fds[0].fd = masterOpen ? master : -1;
    fds[0].events = static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT));
    fds[1].fd = pfd[0];
    fds[1].events = POLLIN;
    int n = poll(fds, 2, static_cast<int>(std::min<long long>(left, 100)));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;

    if (fds[0].revents & POLLIN) {
      ssize_t got = read(master, buf, sizeof buf);
      if (got > 0) {
        run.screen.append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EAGAIN) {
        masterOpen = false;
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      masterOpen = false;
    }
    if ((fds[0].revents & POLLOUT) && !pending.empty()) {
      ssize_t put = write(master, pending.data(), std::min<size_t>(pending.size(), 64));
      if (put > 0) pending.erase(0, static_cast<size_t>(put));
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      ssize_t got = read(pfd[0], buf, sizeof buf);
      if (got > 0) {
        run.report.append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EAGAIN) {
        reportOpen = false;
      }
    }
  }

  for (int i = 0; masterOpen && i < 64; ++i) {
    ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) break;
    run.screen.append(buf, static_cast<size_t>(got));
  }
  if (run.timedOut) kill(pid, SIGKILL);
  waitpid(pid, &run.status, 0);
  close(master);
  close(pfd[0]);
  return run;
}

}  // namespace pty_test
