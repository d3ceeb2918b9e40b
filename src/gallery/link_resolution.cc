#include "gallery/link_resolution.h"

#include <memory>
#include <vector>

#include "data/json_object.h"
#include "gallery/service.h"
#include "gallery/timestamp.h"
#include "http/charset.h"
#include "http/header_text.h"

namespace lumbrin {
namespace {

std::vector<LocalText> NonEmptyPieces(LocalView text, LocalView separator) {
  std::vector<LocalText> pieces = SplitLocal(text, separator);
  std::erase_if(pieces, [](const LocalText& piece) { return piece.empty(); });
  return pieces;
}

LocalText LinkHeaderText(Host& host) {
  return ServiceHeaderText({{"referer", ServicePageAddress(host)}, {"user-agent", LocalText(kServiceUserAgent)}});
}

struct UrlAndMeta {
  LocalText url;
  LocalText meta;
};

UrlAndMeta ParseUrlAndMeta(LocalView json) {
  JsonObject object;
  if (!object.parse(json)) return {};
  return {object.getText("url"), object.getText("meta")};
}

}  // namespace

LocalText RequestStorageLink(Host& host, LocalView id) {
  const LocalText headers = LinkHeaderText(host);
  const LocalText ts = MakeTimestamp(host.clock(), NowOleDate(host.clock()));
  LocalText address = ServiceBase(host) + "/gallery/storage?ts=" + ts + "&id=" + QueryValue(id) +
                      "&callBack=dl_img_cb_" + ts + "_1";
  LocalText cookie = host.cookieText();

  WebRequestParams params = ServiceRequestParams(host, std::move(address));
  params.method = 0;
  params.cookie = &cookie;
  params.headerText = headers;
  const LocalText text = AnswerText(WebRequest(params));

  JsonObject object;
  if (!object.parse(text)) return {};
  return object.getText("data.url");
}

LocalText CallbackNameOf(LocalView link) {
  const std::vector<LocalText> fields = NonEmptyPieces(link, "&");
  if (fields.size() < 4) return LocalFromUtf8("无");
  const std::vector<LocalText> parts = NonEmptyPieces(fields[3], "=");
  if (parts.size() < 2) return LocalFromUtf8("无");
  return parts[1];
}

LocalText FetchWrappedAnswer(Host& host, LocalView link, WebResponseInfo* info) {
  if (!IsWebAddress(link)) return LocalText(kWrappedAnswerEnd);
  WebRequestParams params = ServiceRequestParams(host, LocalText(link));
  params.method = 0;
  params.headerText = LinkHeaderText(host);
  params.info = info;
  return AnswerText(WebRequest(params)) + LocalText(kWrappedAnswerEnd);
}

ByteBuffer FetchFullSize(Host& host, LocalView json) {
  const UrlAndMeta target = ParseUrlAndMeta(json);
  return PostForFullSize(host, target.url, target.meta);
}

ByteBuffer PostForFullSize(Host& host, LocalView url, LocalView meta, BodySink* sink, WebResponseInfo* info) {
  if (!IsWebAddress(url)) return {};
  const LocalText base = ServiceBase(host);
  LocalText noCookie;
  WebRequestParams params = ServiceRequestParams(host, LocalText(url));
  params.method = 1;
  // Sent as bytes so the form goes out exactly as UTF-8; meta is the
  // service's own opaque value and goes back unencoded.
  params.bodyBytes = LocalTextToUtf8Bytes(LocalText("meta=") + LocalText(meta));
  params.cookie = &noCookie;
  params.headerText =
      ServiceHeaderText({{"referer", base}, {"origin", base}, {"user-agent", LocalText(kServiceUserAgent)}});
  params.sink = sink;
  params.info = info;
  // The answer is the file itself, not a text answer.
  params.maxBodyBytes = WebRequestParams{}.maxBodyBytes;
  return WebRequest(params);
}

FullSizeTarget ResolveFullSize(Host& host, LocalView id) {
  FullSizeTarget target;
  const LocalText link = RequestStorageLink(host, id);
  const LocalText name = CallbackNameOf(link);
  if (name == LocalFromUtf8("无") || !IsWebAddress(link)) {
    target.failure = ResolveFailure::NoLink;
    return target;
  }
  const LocalText wrapped = FetchWrappedAnswer(host, link);
  if (wrapped.size() == kWrappedAnswerEnd.size()) {
    target.failure = ResolveFailure::NoAnswer;
    return target;
  }
  const UrlAndMeta parsed = ParseUrlAndMeta(TextBetween(wrapped, name, kWrappedAnswerEnd));
  if (!IsWebAddress(parsed.url)) {
    target.failure = ResolveFailure::NoTarget;
    return target;
  }
  target.url = parsed.url;
  target.meta = parsed.meta;
  return target;
}

}  // namespace lumbrin
