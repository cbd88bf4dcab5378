// The words of a failed transfer: libcurl's text without its timing, and the system's
// reason for a connection that failed.
#include "xen4_transfer_text.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cctype>
#include <cstring>
#include <system_error>

namespace {

// The system's words for a socket error as libcurl reports it (CURLINFO_OS_ERRNO): errno,
// or a Windows sockets error, in the same words on both where they have them.
std::string SystemErrorText(long error) {
#ifdef _WIN32
  static const struct {
    long code;
    const char* text;
  } kCommon[] = {
      {WSAECONNREFUSED, "Connection refused"},       {WSAETIMEDOUT, "Connection timed out"},
      {WSAEHOSTUNREACH, "No route to host"},         {WSAENETUNREACH, "Network is unreachable"},
      {WSAENETDOWN, "Network is down"},              {WSAECONNRESET, "Connection reset by peer"},
      {WSAECONNABORTED, "Software caused connection abort"},
      {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
      {WSAEADDRINUSE, "Address already in use"},     {WSAEACCES, "Permission denied"},
  };
  for (const auto& known : kCommon)
    if (known.code == error) return known.text;
  char buffer[256] = {0};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "system error " + std::to_string(error) : text;
#else
  return std::generic_category().message(static_cast<int>(error));
#endif
}

}  // namespace

// libcurl's text without the time it took (" after 3 ms", " after 10001 milliseconds"):
// the same failure reads the same every time.
std::string WithoutElapsedTime(std::string text) {
  const std::string marker = " after ";
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    size_t end = at + marker.size();
    const size_t digits = end;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == digits) continue;
    for (const char* unit : {" milliseconds", " ms"}) {
      if (text.compare(end, std::strlen(unit), unit) == 0) {
        text.erase(at, end + std::strlen(unit) - at);
        break;
      }
    }
  }
  return text;
}

// libcurl's text of a failed connection says only that it failed ("Failed to connect to
// H port P: Couldn't connect to server"); the system's reason takes the place of those
// last words, or is added where they are missing.
std::string WithSystemReason(std::string text, CURLcode code, long osError) {
  if (osError == 0) return text;
  const std::string reason = SystemErrorText(osError);
  const std::string generic = curl_easy_strerror(code);
  if (text.size() >= generic.size() && text.compare(text.size() - generic.size(), generic.size(), generic) == 0) {
    text.replace(text.size() - generic.size(), generic.size(), reason);
    return text;
  }
  return text.find(reason) == std::string::npos ? text + ": " + reason : text;
}
