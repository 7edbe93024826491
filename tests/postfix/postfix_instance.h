// A private Postfix for the end-to-end tests: laid down by
// postfix-instance.sh in a temporary directory, listening on 127.0.0.1:2525
// of the test's network namespace, asking the keelgate pool of that namespace
// and delivering into a maildir the test reads. The test process is a child
// subreaper, so Postfix's master and its services are its descendants; stop()
// ends the whole Postfix process group and reaps it, and the destructor also
// removes the directory (queue, mail and log included).
#ifndef KEELGATE_TESTS_POSTFIX_POSTFIX_INSTANCE_H
#define KEELGATE_TESTS_POSTFIX_POSTFIX_INSTANCE_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace pftest {

class PostfixInstance {
 public:
  static const int kPort = 2525;

  PostfixInstance();   // configuration and certificates, not started
  ~PostfixInstance();  // stop() and remove the directory

  bool ready() const { return ready_; }
  const std::string& dir() const { return dir_; }
  std::string cert(const std::string& file) const { return dir_ + "/certs/" + file; }

  // postconf -e with "name = value" settings; before start() or followed by reload().
  bool set(const std::vector<std::string>& settings) const;
  bool start();  // returns once Postfix accepts on kPort
  bool reload() const;
  void stop();

  std::string maillog() const;
  // Lines of the Postfix log that contain `needle`.
  std::vector<std::string> maillogLines(const std::string& needle) const;
  bool waitForMaillog(const std::string& needle, int timeoutMs = 5000) const;
  // The delivered message whose Received header carries queue id `queueId`;
  // empty when none arrives within timeoutMs.
  std::string waitForMessage(const std::string& queueId, int timeoutMs = 10000) const;
  int deliveredCount() const;

 private:
  std::string dir_;
  bool ready_ = false;
  pid_t master_ = -1;
};

}  // namespace pftest

#endif
