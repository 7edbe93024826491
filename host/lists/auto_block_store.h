// Reads the automatic blocks of SMTP traffic throttling: the rows of
// t_sender_filter_blocked in the gateway database, which the operator's
// store tool and the gateway write. SmtpConnConfig::init calls it at every
// load when a database is configured.
//
// A database that is down must not hold a worker's reload for long: the
// login gives up after kAutoBlockLoginTimeout seconds. Any thread; the
// connection is its own.
#ifndef KEELGATE_HOST_LISTS_AUTO_BLOCK_STORE_H
#define KEELGATE_HOST_LISTS_AUTO_BLOCK_STORE_H

#include <string>
#include <vector>

#include "host/lists/smtp_conn_config.h"

namespace KELP {

const int kAutoBlockLoginTimeout = 2;

// Fills `blocks` with the enabled rows (ip, sender, type, expiration) of the
// database of <home>/config/odbc.ini. False, logged, when no database is
// configured or it cannot be reached or read; `blocks` is then left empty.
bool loadAutoBlocks(const std::string& home, std::vector<AutoBlock>& blocks);

}  // namespace KELP

#endif
