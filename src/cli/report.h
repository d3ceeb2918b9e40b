#pragma once
// What an export tells its user: the summary (text or one JSON object), the
// failures file in the export folder and the picture list of --list-only.
// Names and reasons come from the service and are untrusted: they are
// escaped so they cannot break a line, a field or the terminal.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace lumbrin::cli {

inline constexpr const char* kFailuresFileName = "lumbrin-export-failures.txt";

struct FailedPicture {
  std::string id;      // UTF-8
  std::string name;    // UTF-8, the file name it was to be saved under
  std::string reason;
};

struct FailedDay {
  std::string day;
  std::string reason;
};

struct Summary {
  std::int64_t listed = 0;
  std::int64_t saved = 0;
  std::int64_t alreadyThere = 0;
  std::vector<FailedPicture> failed;
  std::vector<FailedDay> unlistedDays;
  std::int64_t notAttempted = 0;  // left when interrupted
  std::uint64_t bytes = 0;        // saved by this run
  double seconds = 0;
  double checkSeconds = 0;    // session check and folder set-up
  double listingSeconds = 0;  // listing of the days
  bool interrupted = false;
  std::string folder;  // UTF-8
};

// UTF-8 text with control characters (and, for `field`, tab and backslash)
// written as \t, \n, \r, \\ or \xNN.
[[nodiscard]] std::string Printable(const std::string& text, bool field = false);
// A JSON string literal (with its quotes) of UTF-8 text.
[[nodiscard]] std::string JsonString(const std::string& text);

void WriteSummaryText(std::ostream& out, const Summary& summary);
void WriteSummaryJson(std::ostream& out, const Summary& summary);

// Writes the failures (pictures and days) into the folder, replacing an
// older file whole; removes the file when there are none. False when the
// file could not be written.
bool UpdateFailuresFile(const std::filesystem::path& folder, const Summary& summary);

struct ListLine {
  std::string day;
  std::string id;
  std::string fileName;  // the name (relative path) it is saved under
  std::string thumbnail;
};
void WriteListLine(std::ostream& out, const ListLine& line, bool json);

}  // namespace lumbrin::cli
