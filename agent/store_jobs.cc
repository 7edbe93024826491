#include "agent/store_jobs.h"

#include "throttling/smtp_conn_traffic_list.h"

namespace agent {

namespace {

// The traffic type of a rule's aggregated rows: 1 connections per IP,
// 2 messages per IP, 3 messages per sender.
int trafficTypeOf(Rule rule) { return static_cast<int>(rule) + 1; }

// One connection for the whole job: the operations inside it reuse it.
class Session {
 public:
  Session(SmtpConnTrafficList& db, DbOutcome& outcome) : db_(db) {
    outcome.reachable = db_.connectDB() == 0;
    if (!outcome.reachable) ++outcome.errors;
  }
  ~Session() { db_.disconnectDB(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  SmtpConnTrafficList& db_;
};

void count(bool ok, DbOutcome& outcome) {
  if (!ok) ++outcome.errors;
}

}  // namespace

BlocksStored storeBlocks(SmtpConnTrafficList& db, const std::vector<Block>& blocks, bool raiseVersion) {
  BlocksStored out;
  Session session(db, out);
  if (!out.reachable) {
    out.failed = blocks;
    return out;
  }
  for (const Block& b : blocks) {
    bool ok = db.insertBlockedToDB(b.ip(), b.sender(), b.type(), static_cast<long>(b.start),
                                   static_cast<long>(b.expiration));
    count(ok, out);
    (ok ? out.stored : out.failed).push_back(b);
  }
  if (!out.stored.empty() || raiseVersion) {
    out.versionRaised = db.updateVersionNumber();
    count(out.versionRaised, out);
  }
  return out;
}

ExpirySwept sweepExpiredBlocks(SmtpConnTrafficList& db) {
  ExpirySwept out;
  Session session(db, out);
  if (!out.reachable) return out;
  out.anyExpired = db.isAnyBlockExpire();
  if (!out.anyExpired) return out;
  count(db.releaseDropBlockList(), out);
  count(db.updateVersionNumber(), out);
  return out;
}

DbOutcome storeCounts(SmtpConnTrafficList& db, const StoredCounts& counts, int64_t scannerId) {
  DbOutcome out;
  Session session(db, out);
  if (!out.reachable) return out;
  for (int r = 0; r < kRuleCount; ++r) {
    const int type = trafficTypeOf(static_cast<Rule>(r));
    SmtpConnTrafficList::TrafficMap* map = db.aggregatedTraffic(type);
    map->clear();
    for (const RuleCounter::Stored& row : counts.rows[r]) {
      ConnTrafficItem item;
      item.timeStamp = static_cast<int32_t>(row.since);
      item.type = type;
      item.scannerId = static_cast<int32_t>(scannerId);
      item.count = static_cast<int32_t>(row.count > INT32_MAX ? INT32_MAX : row.count);
      if (r == kSender) {
        item.sender = row.key;
      } else {
        item.ip = row.key;
        // Rows of type 2 are told apart by their sender field in the map:
        // the IP goes there too, so that no two IPs fold into one row.
        if (type == 2) item.sender = row.key;
      }
      (*map)[item] = item.count;
    }
    count(db.dumpMemoryTrafficLogToDB(true, type), out);
    map->clear();
  }
  return out;
}

CountsLoaded loadCounts(SmtpConnTrafficList& db) {
  CountsLoaded out;
  Session session(db, out);
  if (!out.reachable) return out;
  for (int r = 0; r < kRuleCount; ++r) {
    const int type = trafficTypeOf(static_cast<Rule>(r));
    SmtpConnTrafficList::TrafficMap* map = db.aggregatedTraffic(type);
    map->clear();
    count(db.getTrafficLogFromDB(true, type, {}), out);
    for (const auto& entry : *map) {
      const ConnTrafficItem& item = entry.first;
      if (item.type != type || entry.second <= 0) continue;
      std::string key = r == kSender ? item.sender : item.ip;
      if (key.empty()) continue;
      out.counts.rows[r].push_back(
          RuleCounter::Stored{key, static_cast<uint32_t>(entry.second), static_cast<time_t>(item.timeStamp)});
    }
    map->clear();
  }
  return out;
}

VersionRead readVersion(SmtpConnTrafficList& db) {
  VersionRead out;
  Session session(db, out);
  if (!out.reachable) return out;
  out.version = db.getVersionNumber();
  return out;
}

}  // namespace agent
