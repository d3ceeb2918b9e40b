#include "cli/export_state.h"

#include <sqlite3.h>

namespace lumbrin::cli {

void ExportState::DbClose::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
void ExportState::StmtFinalize::operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }

namespace {

constexpr int kSchemaVersion = 1;

std::string Column(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

int UserVersion(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr) != SQLITE_OK) return -1;
  const int version = sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int(raw, 0) : -1;
  sqlite3_finalize(raw);
  return version;
}

}  // namespace

std::unique_ptr<ExportState> ExportState::Open(const std::filesystem::path& folder, std::string* error) {
  std::unique_ptr<ExportState> state(new ExportState());
  const auto failed = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  sqlite3* raw = nullptr;
  const std::string file = (folder / kStateFileName).string();
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  state->db_.reset(raw);
  if (rc != SQLITE_OK) return failed("cannot open the export state " + std::string(kStateFileName));
  sqlite3* db = raw;
  sqlite3_busy_timeout(db, 5000);
  const int version = UserVersion(db);
  if (version < 0) return failed(std::string(kStateFileName) + " is not an export state (move it away)");
  if (version > kSchemaVersion) return failed(std::string(kStateFileName) + " was written by a newer version");
  // NORMAL is safe under WAL: a crash may lose the last records, never
  // corrupt the file, and a lost record only means fetching a file again.
  if (!Exec(db, "PRAGMA journal_mode=WAL") || !Exec(db, "PRAGMA synchronous=NORMAL") ||
      !Exec(db,
            "CREATE TABLE IF NOT EXISTS pictures("
            " id TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,"
            " day TEXT NOT NULL, name TEXT NOT NULL)") ||
      !Exec(db, "PRAGMA user_version=1")) {
    return failed(std::string(kStateFileName) + " cannot be written or is not an export state");
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO pictures(id, path, size, day, name) VALUES(?1, ?2, ?3, ?4, ?5)",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    return failed("cannot prepare the export state");
  }
  state->insert_.reset(stmt);
  if (sqlite3_prepare_v2(db, "SELECT id, path, size, day, name FROM pictures", -1, &stmt, nullptr) != SQLITE_OK) {
    return failed("cannot prepare the export state");
  }
  state->select_.reset(stmt);
  return state;
}

ExportState::~ExportState() {
  // Statements go before the connection; close_v2 would defer otherwise.
  insert_.reset();
  select_.reset();
}

std::vector<SavedPicture> ExportState::all() {
  std::lock_guard lock(mutex_);
  std::vector<SavedPicture> pictures;
  sqlite3_stmt* stmt = select_.get();
  sqlite3_reset(stmt);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    SavedPicture picture;
    picture.id = Column(stmt, 0);
    picture.path = Column(stmt, 1);
    const sqlite3_int64 size = sqlite3_column_int64(stmt, 2);
    picture.size = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    picture.day = Column(stmt, 3);
    picture.name = Column(stmt, 4);
    pictures.push_back(std::move(picture));
  }
  sqlite3_reset(stmt);
  return pictures;
}

bool ExportState::record(const SavedPicture& picture) {
  std::lock_guard lock(mutex_);
  sqlite3_stmt* stmt = insert_.get();
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  const auto bind = [stmt](int index, const std::string& text) {
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
  };
  const bool bound = bind(1, picture.id) && bind(2, picture.path) &&
                     sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(picture.size)) == SQLITE_OK &&
                     bind(4, picture.day) && bind(5, picture.name);
  const bool done = bound && sqlite3_step(stmt) == SQLITE_DONE;
  sqlite3_reset(stmt);
  return done;
}

}  // namespace lumbrin::cli
