// Runs a helper program (postfix, postconf, swaks, openssl) for the Postfix
// end-to-end tests: its standard output and error together, its exit status,
// and a deadline after which it is killed, so that no test waits unbounded.
#ifndef KEELGATE_TESTS_POSTFIX_COMMAND_H
#define KEELGATE_TESTS_POSTFIX_COMMAND_H

#include <string>
#include <vector>

namespace pftest {

struct CommandResult {
  int status = -1;     // exit status; 128 + signal when killed; -1 when it could not run
  bool timedOut = false;
  std::string output;  // standard output and standard error, interleaved
};

// Runs argv[0] (searched in PATH) with `input` on its standard input and waits
// at most timeoutMs. The child is waited for by its own pid only, so other
// children of the test (the pool, Postfix) are left to their owners.
CommandResult runCommand(const std::vector<std::string>& argv, int timeoutMs, const std::string& input = "");

long long nowMs();
void sleepMs(int ms);

}  // namespace pftest

#endif
