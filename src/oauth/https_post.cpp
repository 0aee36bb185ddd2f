// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/https_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace kestrel::oauth {

namespace {

// NETTIMEOUT 0 would mean no limit to libcurl: the default stands in.
constexpr long kDefaultTimeoutSeconds = 90;
// Where Debian keeps the system's trusted certificates, hashed.
constexpr const char* kSystemCertificateDirectory = "/etc/ssl/certs";

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Transfer {
  std::string body;
  bool too_large = false;
  const std::atomic<bool>* aborted = nullptr;
};

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (transfer->body.size() + bytes > kMaxReplyBytes) {
    transfer->too_large = true;
    return 0;  // ends the transfer
  }
  transfer->body.append(data, bytes);
  return bytes;
}

int CheckAbort(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* transfer = static_cast<const Transfer*>(user);
  return transfer->aborted && transfer->aborted->load() ? 1 : 0;
}

void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Escaped(CURL* handle, const std::string& text) {
  char* escaped = curl_easy_escape(handle, text.data(), static_cast<int>(text.size()));
  if (!escaped) return {};
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

}  // namespace

std::string EncodeForm(const FormFields& fields) {
  InitialiseOnce();
  const std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form += '&';
    form += Escaped(handle.get(), name) + "=" + Escaped(handle.get(), value);
  }
  return form;
}

HttpsReply PostForm(const std::string& url, const FormFields& fields, const HttpsLimits& limits) {
  InitialiseOnce();
  HttpsReply reply;
  const std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) {
    reply.failure = "cannot start an HTTPS request";
    return reply;
  }
  CURL* curl = handle.get();
  const std::string form = EncodeForm(fields);
  const std::unique_ptr<curl_slist, HeaderListDeleter> headers(
      curl_slist_append(nullptr, "Accept: application/json"));
  Transfer transfer;
  transfer.aborted = limits.aborted;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!limits.ca_file.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, limits.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, kSystemCertificateDirectory);
  }
  const long timeout = limits.timeout_seconds > 0 ? static_cast<long>(limits.timeout_seconds)
                                                  : kDefaultTimeoutSeconds;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckAbort);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) {
    if (transfer.too_large)
      reply.failure = "the reply is longer than " + std::to_string(kMaxReplyBytes) + " bytes";
    else if (code == CURLE_ABORTED_BY_CALLBACK)
      reply.failure = "stopped";
    else
      reply.failure = error[0] ? error : curl_easy_strerror(code);
    return reply;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.body = std::move(transfer.body);
  return reply;
}

}  // namespace kestrel::oauth
