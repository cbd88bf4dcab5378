#include "xen3_connection.h"

#include <sstream>
#include <string>

#include "xs_model.h"

void sendMessage(Xen3Stream& connection, const XsMessage& request) {
  std::ostringstream text;
  request.writeTo(text);
  const std::string bytes = text.str();
  asio::write(connection, asio::buffer(bytes));
}
