// The request notation: elements ("key" "value"), lists ("name" elements...), and the
// message list "msg" followed by the frame end of two line feeds.
#include <charconv>
#include <ostream>
#include <string>

#include "xs_model.h"

namespace {

void put(std::ostream& out, std::string_view text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Writes text with a backslash before every backslash and double quote. Runs of plain
// bytes are written in one piece.
void putEscaped(std::ostream& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' || text[i] == '"') {
      put(out, text.substr(start, i - start));
      out.put('\\');
      start = i;  // the byte itself goes out with the next run
    }
  }
  put(out, text.substr(start));
}

void openElement(std::ostream& out, std::string_view key) {
  out.put('(');
  out.put('"');
  put(out, key);
  put(out, "\" \"");
}

void closeElement(std::ostream& out) { put(out, "\")"); }

void writeText(std::ostream& out, std::string_view key, std::string_view value) {
  openElement(out, key);
  putEscaped(out, value);
  closeElement(out);
}

// Decimal digits only: the stream's locale (grouping, digit forms) must not shape the
// protocol text, so the number is formatted here rather than with operator<<.
void writeInteger(std::ostream& out, std::string_view key, int32_t value) {
  char digits[16];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  openElement(out, key);
  put(out, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
  closeElement(out);
}

void openList(std::ostream& out, std::string_view name) {
  out.put('(');
  out.put('"');
  put(out, name);
  put(out, "\" ");
}

}  // namespace

void XsPayload::writeTo(std::ostream& out) const {
  openList(out, "payload");
  if (uuid != nullptr) writeText(out, "uuid", *uuid);
  if (type) writeText(out, "type", *type);
  if (majorVersion >= 0) writeInteger(out, "major_version", majorVersion);
  if (minorVersion >= 0) writeInteger(out, "minor_version", minorVersion);
  if (force) writeText(out, "force", "true");
  if (username != nullptr) writeText(out, "username", *username);
  if (password != nullptr) writeText(out, "password", *password);
  if (dataInterval >= 0) writeInteger(out, "data_interval", dataInterval);
  if (startForce >= 0) writeInteger(out, "start_force", startForce);
  out.put(')');
}

void XsMessage::writeTo(std::ostream& out) const {
  openList(out, "msg");
  if (command) writeText(out, "cmd", *command);
  if (payload) payload->writeTo(out);
  if (sessionId != nullptr) writeText(out, "session_id", *sessionId);
  if (sync >= 0) writeInteger(out, "sync", sync);
  put(out, ")\n\n");
}
