// The gateway database connection. It will grow into the wrapper over ODBC
// through which the traffic and blocked-item store reaches PostgreSQL; for
// now it holds only the reachability probe that the traffic-log thread asks
// before each report to the parent.
//
// Threads: the probe keeps no state and may run on any thread.
#ifndef KEELGATE_HOST_QX_DB_CONNECTION_H
#define KEELGATE_HOST_QX_DB_CONNECTION_H

#include <string>

namespace KELP {

class QxDBConnection {
 public:
  // ---- Reachability, without a connection object ----

  // True when the server of the KELP data source in <home>/config/odbc.ini
  // accepts a connection within about a second: TCP to Servername:Port (a
  // host name is resolved; an address is used as it is), or, for a
  // Servername starting with '/', the unix socket <Servername>/.s.PGSQL.<Port>.
  // False at once when no database is configured (no file, no Driver). The
  // socket is closed right after the connect; no login is tried, so the
  // server may log an incomplete start-up for each probe. A host name whose
  // resolution hangs can take longer than the second.
  static bool isDBAlive(const std::string& home);
  // The same for the installation directory of the environment (KELP_HOME).
  static bool isDBAlive();

  // How long the probe waits for a connection, over all addresses of a name.
  static constexpr int kProbeTimeoutMs = 1000;
};

}  // namespace KELP

#endif
