#include "tests/postfix/command.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace pftest {

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

[[noreturn]] void execChild(const std::vector<std::string>& argv, int in, int out) {
  setpgid(0, 0);  // its own group, so a deadline kills its children too
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Input is small (an SMTP dialogue): one write before reading is enough. A
// child that exits without reading must not kill the test with SIGPIPE.
void writeInput(int fd, const std::string& input) {
  if (input.empty()) return;
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  if (write(fd, input.data(), input.size()) < 0 && errno == EPIPE) {
    struct timespec zero = {0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, int timeoutMs, const std::string& input) {
  CommandResult result;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]), close(in[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) execChild(argv, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  writeInput(in[1], input);
  close(in[1]);
  // Read until the child has exited and its output is drained. A daemon it
  // started (Postfix's master) may hold the pipe open for ever, so the end of
  // the output is not waited for once the child itself is gone.
  long long deadline = nowMs() + timeoutMs;
  char buf[4096];
  int status = 0;
  bool exited = false, eof = false;
  while (!exited) {
    if (nowMs() >= deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    exited = waitpid(pid, &status, WNOHANG) == pid;
    struct pollfd p = {out[0], POLLIN, 0};
    while (!eof && poll(&p, 1, exited ? 0 : 20) > 0) {
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) eof = true;
      else result.output.append(buf, static_cast<size_t>(n));
    }
    if (eof && !exited) sleepMs(5);
  }
  close(out[0]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace pftest
