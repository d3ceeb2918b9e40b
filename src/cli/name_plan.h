#pragma once
// Where each listed picture is saved, relative to the export folder. Names
// recorded by earlier runs win; new pictures get the gallery core's safe,
// collision-free names, then a suffix should a recorded file hold the name.

#include <string>
#include <unordered_map>
#include <vector>

#include "base/text.h"
#include "cli/export_state.h"
#include "cli/options.h"

namespace lumbrin::cli {

struct NameRequest {
  LocalText id;
  LocalText fileName;
  std::string day;  // 8 digits
};

// "YYYY/MM/DD" of a day key, or "" when it is not 8 digits.
[[nodiscard]] std::string DayFolder(const std::string& day);

// True when `path` is one the exporter could have written: a safe name,
// alone or under a YYYY/MM/DD folder. Records failing this are ignored.
[[nodiscard]] bool IsExportPath(const std::string& path);

// One relative UTF-8 path per request, in order, all distinct, none equal to
// a recorded path of another picture. `recorded` is keyed by UTF-8 id.
[[nodiscard]] std::vector<std::string> PlanPaths(const std::vector<NameRequest>& pictures,
                                                 const std::unordered_map<std::string, SavedPicture>& recorded,
                                                 Layout layout);

}  // namespace lumbrin::cli
