// The words of a failed transfer (internal to the transport).
#pragma once
#include <curl/curl.h>

#include <string>

// libcurl's text without the time it took (" after 3 ms", " after 10001 milliseconds"):
// the same failure reads the same every time.
std::string WithoutElapsedTime(std::string text);

// libcurl's text of a failed connection says only that it failed ("Failed to connect to
// H port P: Couldn't connect to server"); the system's reason takes the place of those
// last words, or is added where they are missing.
std::string WithSystemReason(std::string text, CURLcode code, long osError);
