#include "agent/metrics.h"

#include <stdio.h>

#include "host/base/answer_counters.h"

namespace agent {

namespace {

class Text {
 public:
  void family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  void value(const char* name, const std::string& labels, uint64_t v) {
    out_ += name;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += ' ';
    out_ += std::to_string(v);
    out_ += '\n';
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

std::string ruleLabels(int r) { return std::string("rule=\"") + ruleLabel(static_cast<Rule>(r)) + "\""; }

// A family of one value without labels.
void single(Text& t, const char* name, const char* type, const char* help, uint64_t value) {
  t.family(name, type, help);
  t.value(name, "", value);
}

void perRule(Text& t, const char* name, const char* type, const char* help, const uint64_t (&values)[kRuleCount]) {
  t.family(name, type, help);
  for (int r = 0; r < kRuleCount; ++r) t.value(name, ruleLabels(r), values[r]);
}

void answers(Text& t, const std::string& path) {
  KELP::AnswerCounters counters;
  std::string problem;
  if (!counters.open(path, problem)) return;
  const char* name = "keelgate_answers_total";
  t.family(name, "counter", "Answers of the daemon's workers, by port and answer.");
  for (int port = 0; port < 2; ++port) {
    for (int a = 0; a < static_cast<int>(KELP::Answer::kCount); ++a) {
      KELP::Answer answer = static_cast<KELP::Answer>(a);
      uint64_t sum = 0;
      // Workers 0..9 serve port 998, 10..19 port 999.
      for (int w = port * 10; w < port * 10 + 10; ++w) sum += counters.value(w, answer);
      t.value(name, std::string("port=\"") + (port == 0 ? "998" : "999") + "\",answer=\"" +
                        KELP::answerLabel(answer) + "\"",
              sum);
    }
  }
}

}  // namespace

std::string renderMetrics(const Counting& counting, const AgentMetrics& m, const std::string& countersPath) {
  Text t;
  const Counting::Totals& totals = counting.totals();
  const char* lines = "keelgate_agent_lines_total";
  t.family(lines, "counter", "Traffic lines counted, by rule and source.");
  for (int r = 0; r < kRuleCount; ++r) {
    t.value(lines, ruleLabels(r) + ",source=\"local\"", totals.lines[r][Counting::kLocal]);
    t.value(lines, ruleLabels(r) + ",source=\"child\"", totals.lines[r][Counting::kChild]);
  }
  single(t, "keelgate_agent_bad_lines_total", "counter", "Lines that could not be read or were too long.", m.badLines);
  single(t, "keelgate_agent_refused_connections_total", "counter", "Connections from peers not allowed.",
         m.refusedConnections);
  single(t, "keelgate_agent_connections", "gauge", "Traffic connections open.", m.connections);
  uint64_t keys[kRuleCount];
  for (int r = 0; r < kRuleCount; ++r) keys[r] = counting.counter(static_cast<Rule>(r)).keys();
  perRule(t, "keelgate_agent_keys", "gauge", "Keys counted in the window.", keys);
  perRule(t, "keelgate_agent_dropped_keys_total", "counter", "New keys not counted: max_keys reached.",
          totals.droppedKeys);
  perRule(t, "keelgate_agent_blocks_total", "counter", "Blocks decided.", totals.blocks);
  single(t, "keelgate_agent_blocks_active", "gauge", "Blocks in force.", counting.blocks().size());
  single(t, "keelgate_agent_blocks_expired_total", "counter", "Blocks that ended.", m.blocksExpired);
  single(t, "keelgate_agent_blocks_pending", "gauge", "Blocks decided but not yet stored in the database.",
         m.blocksPending);
  single(t, "keelgate_agent_reloads_sent_total", "counter", "SIGHUPs sent to the daemon.", m.reloadsSent);
  single(t, "keelgate_agent_database_errors_total", "counter", "Database operations that failed.", m.databaseErrors);
  single(t, "keelgate_agent_database_up", "gauge", "1 when the last database operation reached the database.",
         m.databaseUp ? 1 : 0);
  answers(t, countersPath);
  return t.take();
}

}  // namespace agent
