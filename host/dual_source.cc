#include "host/dual_source.h"

#include <memory>

#include "host/config_file_on_disk.h"
#include "host/install_dir.h"

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

class DualQueryImpl : public DualQuery {
 public:
  DualQueryImpl(std::string filePath, std::string key, std::string sql)
      : file_path_(std::move(filePath)), key_(std::move(key)), sql_(std::move(sql)) {}
  void release() override { delete this; }
  DualResult* execute(DataStmtParams&) override {
    std::vector<std::string> rows;
    ConfigFileOnDisk file(file_path_.c_str());
    std::string value;
    if (file.loaded && file.getparam("", key_.c_str(), value)) rows.push_back(value);
    // Without the key the database would be asked; no database side is
    // configured in this build, so no row is delivered.
    result_.reset(new RowsResult(std::move(rows)));
    return result_.get();
  }

 private:
  ~DualQueryImpl() override {}
  std::string file_path_, key_, sql_;
  std::unique_ptr<RowsResult> result_;
};

}  // namespace

DualSource::DualSource(DBConnPoolWrapper& pool, const char* relativePath, const std::string& home)
    : pool_(pool), relative_path_(relativePath ? relativePath : ""), home_(home) {}

DualQuery* DualSource::prepare(const char* key, const char* sql) {
  if (key == nullptr || sql == nullptr) return nullptr;
  std::string home = installDir(home_);
  return new DualQueryImpl(pathUnderInstallDir(home, relative_path_), key, sql);
}

}  // namespace KELP
