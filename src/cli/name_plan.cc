#include "cli/name_plan.h"

#include <map>

#include "cli/report.h"
#include "gallery/file_names.h"
#include "http/charset.h"

namespace lumbrin::cli {
namespace {

bool Digits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

// `name` with `tag` before its extension, made safe again (which may cut).
std::string WithSuffix(const std::string& name, const std::string& tag) {
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0 && name.size() - dot <= 16;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  return SafeFileName(Utf8ToLocal(stem + tag + extension), {});
}

}  // namespace

std::string DayFolder(const std::string& day) {
  if (day.size() != 8 || !Digits(day)) return {};
  return day.substr(0, 4) + "/" + day.substr(4, 2) + "/" + day.substr(6, 2);
}

bool IsExportPath(const std::string& path) {
  std::string name = path;
  if (path.size() > 11 && path[4] == '/' && path[7] == '/' && path[10] == '/') {
    if (!Digits(path.substr(0, 4)) || !Digits(path.substr(5, 2)) || !Digits(path.substr(8, 2))) return false;
    name = path.substr(11);
  }
  return !name.empty() && SafeFileName(Utf8ToLocal(name), {}) == name;
}

std::vector<std::string> PlanPaths(const std::vector<NameRequest>& pictures,
                                   const std::unordered_map<std::string, SavedPicture>& recorded, Layout layout) {
  std::unordered_map<std::string, std::string> owner;  // relative path -> UTF-8 id
  // The failures list lives beside the pictures; no picture may take its
  // name, or the next run would overwrite or remove the picture.
  const std::string reserved = "\x01reserved";
  owner.emplace(kFailuresFileName, reserved);
  for (const auto& [id, saved] : recorded) {
    if (IsExportPath(saved.path) && saved.path != kFailuresFileName) owner.emplace(saved.path, id);
  }
  std::map<std::string, FileNameRegistry> registries;  // one per folder
  std::vector<std::string> paths;
  paths.reserve(pictures.size());
  for (const NameRequest& picture : pictures) {
    const std::string folder = layout == Layout::Day ? DayFolder(picture.day) : std::string();
    const std::string prefix = folder.empty() ? std::string() : folder + "/";
    // Every picture goes through the registry, recorded or not, so the names
    // it hands out depend on the list alone and stay the same run to run.
    const std::string computed = registries[folder].add(picture.id, picture.fileName);
    const std::string id = LocalToUtf8(picture.id);
    if (const auto it = recorded.find(id);
        it != recorded.end() && IsExportPath(it->second.path) && it->second.path != kFailuresFileName) {
      paths.push_back(it->second.path);
      continue;
    }
    std::string path = prefix + computed;
    for (int n = 1; n < 10000; ++n) {
      const auto taken = owner.find(path);
      if (taken == owner.end() || taken->second == id) break;
      const std::string tag = "_" + SafeIdText(picture.id) + (n > 1 ? "_" + std::to_string(n) : std::string());
      path = prefix + WithSuffix(computed, tag);
    }
    owner.emplace(path, id);
    paths.push_back(std::move(path));
  }
  return paths;
}

}  // namespace lumbrin::cli
