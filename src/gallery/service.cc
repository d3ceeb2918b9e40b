#include "gallery/service.h"

#include <algorithm>

#include "base/ascii.h"
#include "data/name_value_list.h"
#include "http/charset.h"

namespace lumbrin {

LocalText ServiceBase(Host& host) {
  LocalText base = host.service().baseUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

LocalText ServicePageAddress(Host& host) { return ServiceBase(host) + "/gallery/h5"; }

LocalText ServiceHeaderText(const std::vector<std::pair<LocalText, LocalText>>& headers) {
  NameValueList list;
  for (const auto& [name, value] : headers) list.add(name, value);
  return list.toHeaderText();
}

WebRequestParams ServiceRequestParams(Host& host, LocalText url) {
  const ServiceSettings& service = host.service();
  WebRequestParams params;
  params.url = std::move(url);
  params.timeoutSeconds = service.timeoutSeconds;
  params.tls.caFile = service.caFile;
  params.tls.insecure = service.insecure;
  params.maxBodyBytes = kMaxAnswerBytes;
  params.requestObject = service.session;
  return params;
}

LocalText AnswerText(const ByteBuffer& body) {
  const ByteBuffer local = RecodeBytes(body);
  const auto end = std::find(local.begin(), local.end(), std::uint8_t{0});
  return LocalText(local.begin(), end);
}

bool IsWebAddress(LocalView url) {
  // More than the scheme alone.
  const auto startsWith = [url](std::string_view prefix) {
    return url.size() > prefix.size() && StartsWithIgnoringAsciiCase(url, prefix);
  };
  return startsWith("http://") || startsWith("https://");
}

LocalText QueryValue(LocalView value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = LocalToUtf8(value);
  LocalText out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                            byte == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

}  // namespace lumbrin
