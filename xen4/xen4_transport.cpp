#include "xen4_transport.h"

#include <curl/curl.h>

#include <mutex>

size_t Xen4Receive(char* data, size_t size, size_t count, void* userdata) {
  const size_t n = size * count;
  const auto* target = static_cast<const Xen4ResultTarget*>(userdata);
  return target->func(data, n, target->handle) ? n : 0;
}

namespace {

std::mutex g_trustLock;
std::string g_trustedFile;  // empty: certificates are not verified

// The one certificate policy of every request: none, unless a program has named the
// certificates to trust (then the chain is verified, the host name is not: hosts are
// commonly reached by address with certificates made for their names).
void ApplyCertificatePolicy(CURL* curl) {
  std::string file;
  {
    std::lock_guard<std::mutex> guard(g_trustLock);
    file = g_trustedFile;
  }
  if (file.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CAINFO, file.c_str());  // libcurl copies the text
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
}

int Post(const char* request, size_t length, void* transportHandle, void* resultHandle,
         xenapi::ResultFunc resultFunc, long timeoutMs) {
  CURL* curl = curl_easy_init();
  if (!curl) return -1;
  Xen4ResultTarget target{resultFunc, resultHandle};
  // No extra header, no proxy setting, no time-out unless asked (the log-out at Close);
  // server certificates are accepted without verification unless a program asked for it.
  curl_easy_setopt(curl, CURLOPT_URL, static_cast<const char*>(transportHandle));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Xen4Receive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(length));
  ApplyCertificatePolicy(curl);
  if (timeoutMs > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  }
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return static_cast<int>(code);
}

struct GetTarget {
  std::string* body;
  size_t maxBytes;
};

size_t GetReceive(char* data, size_t size, size_t count, void* userdata) {
  const size_t n = size * count;
  auto* target = static_cast<GetTarget*>(userdata);
  if (n > target->maxBytes - target->body->size()) return 0;
  target->body->append(data, n);
  return n;
}

}  // namespace

void Xen4TrustCertificatesFrom(const std::string& caFile) {
  std::lock_guard<std::mutex> guard(g_trustLock);
  g_trustedFile = caFile;
}

int Xen4Transport(const char* request, size_t length, void* transportHandle, void* resultHandle,
                  xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, 0);
}

int Xen4TransportBounded(const char* request, size_t length, void* transportHandle,
                         void* resultHandle, xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, kBoundedRequestMs);
}

int Xen4Get(const std::string& url, const char* accept, size_t maxBytes, long* httpStatus,
            std::string* body) {
  body->clear();
  *httpStatus = 0;
  CURL* curl = curl_easy_init();
  if (!curl) return -1;
  GetTarget target{body, maxBytes};
  const std::string header = std::string("Accept: ") + accept;
  curl_slist* headers = curl_slist_append(nullptr, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &GetReceive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  ApplyCertificatePolicy(curl);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, httpStatus);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return static_cast<int>(code);
}
