#include "gallery/picture_download.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <optional>

#include "gallery/file_names.h"
#include "gallery/link_resolution.h"
#include "gallery/part_file.h"
#include "gallery/timestamp.h"
#include "http/charset.h"
#include "http/header_text.h"
#include "http/web_request.h"

namespace lumbrin {
namespace {

// Two decimals, halves away from zero, then the shortest of up to 13
// significant digits. to_chars, unlike printf, ignores the C locale a GUI
// toolkit may have set, so the point is always ".".
LocalText Rounded(double quotient, LocalView unit) {
  const double scaled = quotient * 100 + 1e-12;
  double whole = std::trunc(scaled);
  if (scaled - whole >= 0.5) whole += 1;
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, whole / 100, std::chars_format::general, 13).ptr;
  return LocalText(text, end) + LocalText(unit);
}

double ParseDouble(const std::string& text) {
  double value = 0;
  (void)std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

LocalText UpperAscii(LocalText text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

PictureFailure FromResolve(ResolveFailure failure) {
  switch (failure) {
    case ResolveFailure::None: return PictureFailure::None;
    case ResolveFailure::NoLink: return PictureFailure::NoLink;
    case ResolveFailure::NoAnswer: return PictureFailure::NoAnswer;
    case ResolveFailure::NoTarget: return PictureFailure::NoTarget;
  }
  return PictureFailure::NoLink;
}

// Judges a finished file request; the part file is committed only when the
// answer is a whole file.
PictureResult Judge(PartFile& file, const WebResponseInfo& info) {
  PictureResult result;
  result.status = file.status() != 0 ? file.status() : info.status;
  const auto fail = [&](PictureFailure failure) {
    result.failure = failure;
    return result;
  };
  if (info.cancelled) return fail(PictureFailure::Cancelled);
  if (result.status == 0) return fail(info.timedOut ? PictureFailure::TimedOut : PictureFailure::Transport);
  if (result.status != 200) return fail(PictureFailure::Http);
  if (file.tooLarge()) return fail(PictureFailure::TooLarge);
  if (file.writeFailed()) return fail(PictureFailure::Write);
  if (!info.completed) return fail(info.timedOut ? PictureFailure::TimedOut : PictureFailure::Transport);
  const LocalText& type = info.contentType.empty() ? file.contentType() : info.contentType;
  if (FindIgnoringAsciiCase(type, "json") != LocalView::npos || FindIgnoringAsciiCase(type, "html") != LocalView::npos) {
    return fail(PictureFailure::ErrorPage);
  }
  if (file.written() == 0) return fail(PictureFailure::Empty);
  if (info.contentLength && *info.contentLength != file.written()) return fail(PictureFailure::Incomplete);
  if (!file.commit()) return fail(PictureFailure::Write);
  result.bytes = file.written();
  return result;
}

}  // namespace

LocalText FormatSize(LocalView count) {
  const std::string text(count);
  constexpr double kExa = 1152921504606846976.0;  // 2^60
  if (text.size() > 19 || (text.size() == 19 && text > "9223372036854775807")) {
    // Too big for 64 bits: scale down by powers of ten first, then back up.
    const std::size_t kept = text.size() == 19 ? 18 : 19;
    double value = ParseDouble(text.substr(0, kept) + "." + text.substr(kept)) / kExa;
    for (std::size_t i = kept; i < text.size(); ++i) value *= 10;
    return Rounded(value, "eb");
  }

  std::int64_t n = 0;
  (void)std::from_chars(text.data(), text.data() + text.size(), n);
  if (n < 1024) return text + "b";
  if (n < 1048576) return Rounded(static_cast<double>(n) / 1024.0, "kb");
  if (n < 1073741824) return Rounded(static_cast<double>(n) / 1048576.0, "mb");
  const double d = static_cast<double>(n);
  // The upper thresholds are decimal values, the divisors powers of two.
  if (d - 1099511627776.0 < -1e-7) return Rounded(d / 1073741824.0, "gb");
  if (d - 1125900000000000.0 < -1e-7) return Rounded(d / 1099511627776.0, "tb");
  if (d - 1152900000000000000.0 < -1e-7) return Rounded(d / 1125899906842624.0, "pb");
  return Rounded(d / kExa, "eb");
}

PictureResult SavePicture(Host& host, LocalView id, const std::filesystem::path& folder, const std::string& name) {
  const FullSizeTarget target = ResolveFullSize(host, id);
  if (!target.ok()) return {FromResolve(target.failure), 0, 0};

  PartFile file(folder, name, kMaxPictureBytes);
  if (!file.isOpen()) return {PictureFailure::Write, 0, 0};
  WebResponseInfo info;
  (void)PostForFullSize(host, target.url, target.meta, &file, &info);
  return Judge(file, info);
}

LocalText FailureReason(const PictureResult& result) {
  switch (result.failure) {
    case PictureFailure::None: return {};
    case PictureFailure::NoLink: return LocalFromUtf8("（无下载链接）");
    case PictureFailure::NoAnswer: return LocalFromUtf8("（链接无应答）");
    case PictureFailure::NoTarget: return LocalFromUtf8("（无文件地址）");
    case PictureFailure::Http:
      return LocalFromUtf8("（HTTP ") + std::to_string(result.status) + LocalFromUtf8("）");
    case PictureFailure::Transport: return LocalFromUtf8("（连接中断）");
    case PictureFailure::TimedOut: return LocalFromUtf8("（超时）");
    case PictureFailure::Cancelled: return LocalFromUtf8("（已取消）");
    case PictureFailure::ErrorPage: return LocalFromUtf8("（服务返回错误页）");
    case PictureFailure::Empty: return LocalFromUtf8("（空文件）");
    case PictureFailure::Incomplete: return LocalFromUtf8("（文件不完整）");
    case PictureFailure::TooLarge: return LocalFromUtf8("（文件过大）");
    case PictureFailure::Write: return LocalFromUtf8("（写入失败）");
  }
  return {};
}

void DownloadPicture(Host& host, LocalView id, LocalView fileName) {
  std::atomic<std::int32_t>& activeWorkers = host.state().activeWorkers;
  try {
    const std::string name = SafeFileName(fileName, id);
    const PictureResult result = SavePicture(host, id, host.saveFolder(), name);
    LocalText line = FormatDateTime(NowOleDate(host.clock()), "-", ":", 3) + "- - " + Utf8ToLocal(name);
    if (result.ok()) {
      line += LocalFromUtf8("大小：") + UpperAscii(FormatSize(std::to_string(result.bytes))) +
              LocalFromUtf8(" 下载成功！\r\n");
    } else {
      line += LocalFromUtf8("下载失败") + FailureReason(result) + "\r\n";
    }
    host.appendLog(line);
    host.appendLog("\r\n");
  } catch (const std::exception&) {
    // Out of memory or the like: the slot is still given back below.
  }
  activeWorkers.fetch_sub(1);
}

std::int32_t PictureWorker(Host& host, LocalView id, LocalView fileName) {
  DownloadPicture(host, LocalText(id), LocalText(fileName));
  return 0;
}

}  // namespace lumbrin
