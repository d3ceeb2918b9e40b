#include "cli/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace lumbrin::cli {

std::string Printable(const std::string& text, bool field) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += field ? "\\t" : "\t";
    } else if (c == '\\' && field) {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04X", byte);
          out += hex;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

void WriteSummaryText(std::ostream& out, const Summary& s) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", s.seconds);
  out << (s.interrupted ? "Export interrupted" : "Export finished") << " in " << seconds << " s: " << s.listed
      << " listed, " << s.saved << " saved, " << s.alreadyThere << " already there, " << s.failed.size()
      << " failed";
  if (s.interrupted) out << ", " << s.notAttempted << " not attempted";
  out << ", " << s.bytes << " bytes saved.\n";
  for (const FailedDay& day : s.unlistedDays) {
    out << "  day " << Printable(day.day) << " could not be listed: " << Printable(day.reason) << "\n";
  }
  for (const FailedPicture& picture : s.failed) {
    out << "  failed: " << Printable(picture.name) << " (id " << Printable(picture.id)
        << "): " << Printable(picture.reason) << "\n";
  }
  if (!s.failed.empty() || !s.unlistedDays.empty()) {
    out << "The list is in " << Printable(s.folder) << "/" << kFailuresFileName
        << "; run the same command again to fetch what is missing.\n";
  }
}

void WriteSummaryJson(std::ostream& out, const Summary& s) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
  char listing[32];
  std::snprintf(listing, sizeof listing, "%.3f", s.listingSeconds);
  char check[32];
  std::snprintf(check, sizeof check, "%.3f", s.checkSeconds);
  out << "{\"folder\":" << JsonString(s.folder) << ",\"listed\":" << s.listed << ",\"saved\":" << s.saved
      << ",\"alreadyThere\":" << s.alreadyThere << ",\"failed\":" << s.failed.size()
      << ",\"notAttempted\":" << s.notAttempted << ",\"bytes\":" << s.bytes << ",\"seconds\":" << seconds
      << ",\"checkSeconds\":" << check
      << ",\"listingSeconds\":" << listing << ",\"interrupted\":" << (s.interrupted ? "true" : "false") << ",\"failures\":[";
  for (std::size_t i = 0; i < s.failed.size(); ++i) {
    const FailedPicture& p = s.failed[i];
    out << (i ? "," : "") << "{\"id\":" << JsonString(p.id) << ",\"name\":" << JsonString(p.name)
        << ",\"reason\":" << JsonString(p.reason) << "}";
  }
  out << "],\"unlistedDays\":[";
  for (std::size_t i = 0; i < s.unlistedDays.size(); ++i) {
    const FailedDay& d = s.unlistedDays[i];
    out << (i ? "," : "") << "{\"day\":" << JsonString(d.day) << ",\"reason\":" << JsonString(d.reason) << "}";
  }
  out << "]}\n";
}

bool UpdateFailuresFile(const std::filesystem::path& folder, const Summary& s) {
  const std::filesystem::path target = folder / kFailuresFileName;
  std::error_code ec;
  if (s.failed.empty() && s.unlistedDays.empty()) {
    std::filesystem::remove(target, ec);
    return !ec;
  }
  std::string text = "# Pictures the last export could not save: id, file name, reason (tab separated).\n";
  for (const FailedDay& day : s.unlistedDays) {
    text += "day " + Printable(day.day, true) + "\t-\tthe day could not be listed: " + Printable(day.reason, true) + "\n";
  }
  for (const FailedPicture& p : s.failed) {
    text += Printable(p.id, true) + "\t" + Printable(p.name, true) + "\t" + Printable(p.reason, true) + "\n";
  }
  const std::filesystem::path temporary = folder / ("." + std::string(kFailuresFileName) + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == text.size();
  const bool ok = ::close(fd) == 0 && written;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

void WriteListLine(std::ostream& out, const ListLine& line, bool json) {
  if (json) {
    out << "{\"day\":" << JsonString(line.day) << ",\"id\":" << JsonString(line.id)
        << ",\"fileName\":" << JsonString(line.fileName) << ",\"thumbnail\":" << JsonString(line.thumbnail) << "}\n";
  } else {
    out << Printable(line.day, true) << "\t" << Printable(line.id, true) << "\t" << Printable(line.fileName, true)
        << "\t" << Printable(line.thumbnail, true) << "\n";
  }
}

}  // namespace lumbrin::cli
