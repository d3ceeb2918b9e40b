#pragma once
// The export state: which picture was saved where, so that a re-run skips
// what is there and keeps every name it gave before. An SQLite file in the
// export folder (WAL journal), written after each file's rename, so a killed
// run loses at most the records of files it will fetch again.
//
// Thread contract: every member may be called from any thread; calls are
// serialised on one connection.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lumbrin::cli {

inline constexpr const char* kStateFileName = ".lumbrin-export.sqlite";

struct SavedPicture {
  std::string id;    // UTF-8
  std::string path;  // relative to the export folder, UTF-8, "/" separated
  std::uint64_t size = 0;
  std::string day;   // the day key
  std::string name;  // the service's file name, UTF-8
};

class ExportState {
public:
  // Opens or creates the state in `folder`; null (and `error` set) when the
  // file cannot be opened or is not an export state of ours.
  [[nodiscard]] static std::unique_ptr<ExportState> Open(const std::filesystem::path& folder, std::string* error);
  ~ExportState();
  ExportState(const ExportState&) = delete;
  ExportState& operator=(const ExportState&) = delete;

  [[nodiscard]] std::vector<SavedPicture> all();
  // Inserts or replaces the record of picture.id; false when not written.
  [[nodiscard]] bool record(const SavedPicture& picture);

private:
  struct DbClose {
    void operator()(sqlite3* db) const noexcept;
  };
  struct StmtFinalize {
    void operator()(sqlite3_stmt* stmt) const noexcept;
  };
  ExportState() = default;

  std::mutex mutex_;
  std::unique_ptr<sqlite3, DbClose> db_;
  std::unique_ptr<sqlite3_stmt, StmtFinalize> insert_;
  std::unique_ptr<sqlite3_stmt, StmtFinalize> select_;
};

}  // namespace lumbrin::cli
