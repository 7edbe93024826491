#include "tests/postfix/postfix_gateway.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <sstream>

namespace pftest {

namespace {

// Runs a shell command line, killed after 30 s; its output, standard error
// included.
std::string run(const std::string& command) {
  FILE* p = popen(("timeout -k 5 30 " + command + " 2>&1").c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p != nullptr) pclose(p);
  return out;
}

}  // namespace

std::string Session::queueId() const {
  size_t at = transcript.find("Ok: queued as ");
  return at == std::string::npos ? "" : transcript.substr(at + 14, transcript.find_first_of("\r\n ", at + 14) - at - 14);
}

PostfixGateway::PostfixGateway() {
  char tmpl[] = "/tmp/keelgate-postfix.XXXXXX";
  dir = mkdtemp(tmpl) != nullptr ? tmpl : "/nonexistent";
  std::string out = run("sh " KEELGATE_SOURCE_DIR "/tests/postfix/postfix-instance.sh " + dir + " 2525 && echo ready");
  ready_ = out == "ready\n";
  if (!ready_) std::cerr << "postfix-instance.sh failed:\n" << out;
}

// Not `postfix stop`: its script polls in whole seconds. The master passes a
// SIGTERM on to its process group (it leads its own session) and exits.
PostfixGateway::~PostfixGateway() {
  if (master_ > 0) kill(master_, SIGTERM), e2e::awaitGroupEnd(master_);
  run("rm -rf " + dir);
}

void PostfixGateway::TearDown() {
  const std::string log = maillog();
  for (const char* bad : {"fatal:", "panic:"}) EXPECT_EQ(std::string::npos, log.find(bad)) << log;
  EXPECT_TRUE(postfixWarningsExpected || log.find("warning:") == std::string::npos) << log;
  for (const char* bad : {"fail to find key", "fail to write response action to socket"})
    EXPECT_EQ(0, home.countLog(bad)) << bad;
}

void PostfixGateway::setPostfix(const std::string& setting) const {
  ASSERT_EQ("", run("postconf -c " + dir + "/etc -e '" + setting + "'"));
}

void PostfixGateway::startGateway() {
  ASSERT_TRUE(ready_);
  ASSERT_EQ(-1, home.start()) << "the keelgate pool did not start";
  // `postfix start` returns once the master is ready (master -w); the pool
  // being up first, its start-up reaps none of Postfix's processes.
  ASSERT_EQ(0, system(("postfix -c " + dir + "/etc start >" + dir + "/start.log 2>&1").c_str())) << maillog();
  master_ = atoi(e2e::fileText(dir + "/queue/pid/master.pid").c_str());
  ASSERT_LT(0, master_);
}

Session PostfixGateway::swaks(const std::string& sender, const std::string& options, const char* source) const {
  return {run("swaks --server 127.0.0.1 --port 2525 --local-interface " + std::string(source) +
              " --helo client.partner.test --to bob@keelgate.test --timeout 20 --from " + sender + " " + options)};
}

// -quiet implies -ign_eof: the client reads on after its input has ended,
// until Postfix closes the connection.
Session PostfixGateway::nullCipherSession(const std::string& sender) const {
  return {run("printf 'EHLO client.partner.test\\nMAIL FROM:<" + sender + ">\\nQUIT\\n' | timeout 30 openssl s_client " +
              "-connect 127.0.0.1:2525 -bind " + kClient + ":0 -starttls smtp -tls1_2 " +
              "-cipher 'eNULL:@SECLEVEL=0' -crlf -quiet")};
}

std::vector<std::string> PostfixGateway::usageHeaders(const Session& s) const {
  const std::string inbox = dir + "/mail/inbox/new/", mark = " id " + s.queueId() + "\n";
  std::string message;
  auto delivered = [&] {
    DIR* d = opendir(inbox.c_str());
    for (struct dirent* e; d != nullptr && (e = readdir(d)) != nullptr; message.clear())
      if ((message = e2e::fileText(inbox + e->d_name)).find(mark) != std::string::npos) break;
    if (d != nullptr) closedir(d);
    return !message.empty();
  };
  e2e::waitUntil(delivered, s.queueId().empty() ? 0 : 10000);
  if (message.empty()) return {"<not delivered>"};
  std::vector<std::string> values;
  std::istringstream in(message);
  for (std::string line; std::getline(in, line) && !line.empty();)
    if (line.compare(0, 17, "X-KELP-TLS-USAGE:") == 0) values.push_back(line.substr(18));
  return values;
}

std::string PostfixGateway::maillog() const { return e2e::fileText(dir + "/log/maillog"); }

}  // namespace pftest
