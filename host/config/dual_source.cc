#include "host/config/dual_source.h"

#include <memory>

#include "host/config/config_file_on_disk.h"
#include "host/config/install_dir.h"

namespace KELP {

namespace {

class RowsResult : public DualResult {
 public:
  explicit RowsResult(std::vector<std::string> rows) : rows_(std::move(rows)) {}
  bool next() override { return ++current_ < rows_.size(); }
  int getString(const char* column, const char** value) override {
    if (current_ >= rows_.size() || std::string(column) != "value") return 0;
    *value = rows_[current_].c_str();
    return 1;
  }

 private:
  std::vector<std::string> rows_;
  size_t current_ = static_cast<size_t>(-1);
};

// The rows of `sql`'s column "value" (a NULL is skipped); none when the
// database cannot be reached or the statement fails (both logged).
std::vector<std::string> databaseRows(DBConnPoolWrapper& pool, const std::string& home,
                                      const std::string& sql) {
  std::vector<std::string> rows;
  std::shared_ptr<QxDBConnection> conn = pool.open(home);
  if (!conn) return rows;
  QxDBStatement* stmt = nullptr;
  if (conn->prepareStatement(sql.c_str(), &stmt) != 0) return rows;
  QxDBResultset* result = nullptr;
  if (stmt->excuteQuery(&result) == 0) {
    const char* value = nullptr;
    while (result->next() == 0)
      if (result->getString("value", &value) == 0) rows.push_back(value);
  }
  conn->releaseStatement(stmt);
  return rows;
}

class DualQueryImpl : public DualQuery {
 public:
  DualQueryImpl(DBConnPoolWrapper& pool, std::string home, std::string filePath, std::string key,
                std::string sql)
      : pool_(pool), home_(std::move(home)), file_path_(std::move(filePath)), key_(std::move(key)),
        sql_(std::move(sql)) {}
  void release() override { delete this; }
  DualResult* execute(DataStmtParams&) override {
    std::vector<std::string> rows;
    ConfigFileOnDisk file(file_path_.c_str());
    std::string value;
    if (file.loaded && file.getparam("", key_.c_str(), value))
      rows.push_back(value);
    else
      rows = databaseRows(pool_, home_, sql_);
    result_.reset(new RowsResult(std::move(rows)));
    return result_.get();
  }

 private:
  ~DualQueryImpl() override {}
  DBConnPoolWrapper& pool_;
  std::string home_, file_path_, key_, sql_;
  std::unique_ptr<RowsResult> result_;
};

}  // namespace

DualSource::DualSource(DBConnPoolWrapper& pool, const char* relativePath, const std::string& home)
    : pool_(pool), relative_path_(relativePath ? relativePath : ""), home_(home) {}

DualQuery* DualSource::prepare(const char* key, const char* sql) {
  if (key == nullptr || sql == nullptr) return nullptr;
  std::string home = installDir(home_);
  return new DualQueryImpl(pool_, home, pathUnderInstallDir(home, relative_path_), key, sql);
}

}  // namespace KELP
