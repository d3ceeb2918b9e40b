// Arbitrary answers through parse and the reads the gallery client makes.
// The answer is script to the engine, so this also drives the time and
// memory bounds: nothing may crash, hang past the bounds or leak.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "data/json_object.h"

namespace {

void Read(lumbrin::JsonObject& json) {
  (void)json.getText("data.url");
  (void)json.getText("meta");
  (void)json.kindOf("data");
  (void)json.kindOf("data.missing.deeper");
  const int n = json.getObject("data.galleries")->count();
  for (int i = 0; i < n && i < 4; ++i) {
    const std::string at = "data.galleries[" + std::to_string(i) + "]";
    (void)json.getText(at + ".bigThumbnailInfo.data");
    (void)json.getText(at + ".fileName");
    (void)json.getText(at + ".id", true);
  }
  std::vector<lumbrin::LocalText> texts;
  json.memberNames(texts);
  json.leafValues(texts, "", true);
  (void)json.toText();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const lumbrin::ScopedScriptLimits limits(
      lumbrin::ScriptLimits{std::chrono::milliseconds(200), std::size_t{16} << 20});
  if (size > 64 * 1024) return 0;
  const lumbrin::LocalText text(reinterpret_cast<const char*>(data), size);
  lumbrin::JsonObject json;
  lumbrin::ScriptError error;
  json.parse(text, size > 0 && (data[0] & 1) != 0, &error);
  Read(json);
  // Plain-mode values go through the backslash convention and back.
  if (json.setValue("copy", text)) (void)json.getJsonText("copy");
  return 0;
}
