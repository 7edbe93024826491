#include "throttling/smtp_conn_traffic_list.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/base/clock.h"
#include "tests/unit/capture_log.h"

namespace {

class SmtpConnTrafficListTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &keelgate_test::captureLog(); }
  void TearDown() override { KELP::Clock::thaw(); }
  keelgate_test::CaptureSink* log_ = nullptr;
};

TEST_F(SmtpConnTrafficListTest, FoldsObservationsPerKey) {
  struct Obs { int type; const char* ip; const char* sender; };
  // Observations recorded at times 100, 101, ..., and the entries they make,
  // "type:ip/sender/time/count" in map order.
  const struct { const char* label; std::vector<Obs> observations; std::vector<std::string> entries; } cases[] = {
      {"same IP twice", {{1, "10.0.0.5", ""}, {1, "10.0.0.5", ""}}, {"1:10.0.0.5//100/2"}},
      {"type 2: same sender, different IPs", {{2, "10.0.0.5", "a@x"}, {2, "10.0.0.6", "a@x"}},
       {"2:10.0.0.5/a@x/100/2"}},
      {"one IP, different senders", {{3, "10.0.0.5", "b@x"}, {3, "10.0.0.5", "a@x"}},
       {"3:10.0.0.5/a@x/101/1", "3:10.0.0.5/b@x/100/1"}},
      {"empty senders fold", {{3, "1.1.1.1", ""}, {3, "2.2.2.2", ""}}, {"3:1.1.1.1//100/2"}},
      {"types kept apart", {{2, "10.0.0.5", "a@x"}, {1, "10.0.0.5", ""}},
       {"1:10.0.0.5//101/1", "2:10.0.0.5/a@x/100/1"}},
      {"other types dropped", {{0, "10.0.0.5", "a@x"}, {4, "10.0.0.5", "a@x"}}, {}},
  };
  for (const auto& c : cases) {
    SmtpConnTrafficList list;
    time_t at = 100;
    for (const Obs& o : c.observations) {
      KELP::Clock::freezeAt(at++);
      RawConnTrafficItem item;
      list.createTrafficLog(o.ip, o.sender, o.type, 7, item);
      list.recordTrafficConn(item);
    }
    list.init(10, 6, "", "", 0, "", "debug");
    std::vector<std::string> got;
    for (int type = 1; type <= 3; ++type)
      for (const auto& e : list.rawTraffic(type))
        got.push_back(std::to_string(type) + ":" + e.first.ip + "/" + e.first.sender + "/" +
                      std::to_string(e.first.timeStamp) + "/" + std::to_string(e.second));
    EXPECT_EQ(c.entries, got) << c.label << " (a reload in between keeps the counts)";
  }
}

// Observations recorded while reports drain the map are neither lost nor
// counted twice. The parent agent is a listener that reads nothing and drops
// each connection after its report; the lines are counted in the trace of
// what was sent.
TEST_F(SmtpConnTrafficListTest, ObservationsRecordedDuringReportsAreNotLost) {
  int port = 0;
  int agent = keelgate_test::listenLoopback(&port);
  SmtpConnTrafficList list;
  const int kObservations = 20000;
  std::atomic<bool> done{false};
  std::thread recorder([&] {
    for (int i = 0; i < kObservations; ++i) {
      RawConnTrafficItem item;
      item.timeStamp = 100, item.ip = "10.0.0." + std::to_string(i % 37), item.type = 1, item.scannerId = 7;
      list.recordTrafficConn(item);
    }
    done = true;
  });
  while (!done) {
    list.sendIPBaseConnTrafficToParent("127.0.0.1", port);
    for (int fd; (fd = accept(agent, nullptr, nullptr)) >= 0;) close(fd);
  }
  recorder.join();
  list.sendIPBaseConnTrafficToParent("127.0.0.1", port);
  const std::string sent = "send SMTP Traffic Throttling IP connection traffic log:ORCAS-Conn-IP:100;7;1;";
  long total = 0;
  for (const keelgate_test::LogLine& l : log_->lines()) {
    size_t p = l.text.find(sent);
    if (p != std::string::npos) total += std::stol(l.text.substr(p + sent.size()));
  }
  EXPECT_EQ(kObservations, total);
  EXPECT_EQ(0u, log_->count(KELP::LOG_NORMAL, "error")) << log_->all();
  close(agent);
}

}  // namespace
