#include "tests/db/db_fixture.h"

namespace dbtest {

namespace {

pgtest::PgServer* the_server = nullptr;

class ServerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete the_server;
    the_server = nullptr;
  }
};

::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

}  // namespace

pgtest::PgServer& server() {
  if (the_server == nullptr) the_server = new pgtest::PgServer(std::string(KEELGATE_SOURCE_DIR) + "/sql/schema.sql");
  return *the_server;
}

}  // namespace dbtest
