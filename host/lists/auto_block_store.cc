#include "host/lists/auto_block_store.h"

#include "host/log/log.h"
#include "host/db/odbc_data_source.h"
#include "host/db/qx_db_connection.h"

namespace KELP {

namespace {

const char kSelectBlocks[] =
    "select ip, sender, type, expiration from t_sender_filter_blocked where enabled";

// Reads the rows of a run select; a row with an unreadable type or
// expiration is skipped and logged. Expirations are read as 64-bit numbers
// (bigint columns), so a block may end past 2038. False when a row could
// not be fetched: the table was then not read whole.
bool readRows(QxDBResultset* rows, std::vector<AutoBlock>& blocks) {
  while (rows->next() == 0) {
    const char* ip = "";
    const char* sender = "";
    AutoBlock block;
    if (rows->getInt("type", block.type) != 0 || rows->getLongLong("expiration", block.expiration) != 0) {
      Log::LogByLevel(LOG_NORMAL, "automatic blocks: a row of t_sender_filter_blocked without type or "
                                  "expiration, skipped");
      continue;
    }
    rows->getString("ip", &ip);
    rows->getString("sender", &sender);
    block.ip = ip;
    block.sender = sender;
    blocks.push_back(block);
  }
  return !rows->failed();
}

}  // namespace

bool loadAutoBlocks(const std::string& home, std::vector<AutoBlock>& blocks) {
  blocks.clear();
  QxDBConnection conn(QxDBConnection::ODBC_VERSION_3, home);
  if (conn.connect(kOdbcDataSourceName, "", "", "", kAutoBlockLoginTimeout, 1, 10, 0) != 0) return false;
  QxDBStatement* stmt = nullptr;
  if (conn.prepareStatement(kSelectBlocks, &stmt) != 0) return false;
  QxDBResultset* rows = nullptr;
  bool ok = stmt->excuteQuery(&rows) == 0 && readRows(rows, blocks);
  conn.releaseStatement(stmt);
  conn.disconnect();
  if (ok)
    Log::LogByLevel(LOG_DIAGNOSTIC, "automatic blocks: %zu rows read from t_sender_filter_blocked",
                    blocks.size());
  else
    blocks.clear();
  return ok;
}

}  // namespace KELP
