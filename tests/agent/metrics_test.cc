// The scrape's view of the daemon's answer counters: worker slots 0..9 sum
// into port 998, 10..19 into port 999; no counters file, no such lines.
#include <gtest/gtest.h>

#include <string>

#include "agent/metrics.h"
#include "host/base/answer_counters.h"
#include "tests/unit/capture_log.h"

namespace {

TEST(MetricsTest, AnswerCountersSumByPort) {
  keelgate_test::TempDir dir;
  const std::string path = dir / "keelgate.counters";
  agent::Counting counting;
  agent::AgentMetrics metrics;
  EXPECT_EQ(agent::renderMetrics(counting, metrics, path).find("keelgate_answers_total"), std::string::npos);

  KELP::AnswerCounters counters;
  std::string problem;
  ASSERT_TRUE(counters.create(path, problem)) << problem;
  counters.count(0, KELP::Answer::kIpBlocked);
  counters.count(9, KELP::Answer::kIpBlocked);
  counters.count(10, KELP::Answer::kTlsUsed);
  counters.count(19, KELP::Answer::kTlsUsed);
  counters.count(19, KELP::Answer::kTlsUsed);
  std::string text = agent::renderMetrics(counting, metrics, path);
  for (const char* line : {"keelgate_answers_total{port=\"998\",answer=\"ip_blocked\"} 2\n",
                           "keelgate_answers_total{port=\"999\",answer=\"ip_blocked\"} 0\n",
                           "keelgate_answers_total{port=\"999\",answer=\"tls_used\"} 3\n",
                           "keelgate_answers_total{port=\"998\",answer=\"tls_used\"} 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

}  // namespace
