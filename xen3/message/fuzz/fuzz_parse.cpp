// Fuzz target: any bytes through both frame readers and the message reader.
//
// Beyond "no crash, no leak, no sanitizer report" it checks four properties and aborts
// when one fails: the buffer and stream readers agree (error, tree, bytes consumed); a
// frame the frame-end scanner delimits parses as it does with everything after it; a
// received text written back into a request reads back unchanged and its frame ends
// where the request ends; and the reply records can be taken out of whatever message
// was read.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "message_parser.h"
#include "xs_requests.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool sameTree(const MessageTree& a, const MessageTree& b) {
  if (a.size() != b.size()) return false;
  for (MessageTree::NodeId id = 1; id <= a.size(); ++id) {
    if (a.name(id) != b.name(id) || a.firstChild(id) != b.firstChild(id) ||
        a.nextSibling(id) != b.nextSibling(id)) {
      return false;
    }
  }
  return a.firstTopLevel() == b.firstTopLevel();
}

void roundTrip(const std::string& text) {
  auto request = buildVmSave(text, text);
  request->sync = 1;
  std::ostringstream out;
  request->writeTo(out);
  FrameEndScanner scanner;
  check(scanner.scan(out.str()) == out.str().size());
  MessageTree tree;
  parseFrame(out.str(), tree);
  auto back = readMessage(tree);
  check(back != nullptr && back->receivedSessionId == text && back->sync == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  MessageTree fromBuffer;
  std::string bufferError;
  std::size_t used = 0;
  try {
    used = parseFrame(text, fromBuffer);
  } catch (const parser_exception& e) {
    bufferError = e.what();
  }

  std::istringstream in{std::string(text)};
  MessageTree fromStream;
  std::string streamError;
  try {
    parseFrame(in, fromStream);
  } catch (const parser_exception& e) {
    streamError = e.what();
  }

  check(bufferError == streamError);
  check(sameTree(fromBuffer, fromStream));

  // A frame that parses within the end the scanner found parses the same with the bytes
  // after it.
  FrameEndScanner scanner;
  const std::size_t frameEnd = scanner.scan(text);
  if (frameEnd != FrameEndScanner::npos) {
    MessageTree framed;
    try {
      const std::size_t framedUsed = parseFrame(text.substr(0, frameEnd), framed);
      check(bufferError.empty() && framedUsed == used && sameTree(framed, fromBuffer));
    } catch (const parser_exception&) {
      // the frame ended early, on an empty line outside quotes inside the list
    }
  }
  if (!bufferError.empty()) {
    check(bufferError == "unexpected character" || bufferError == "unexpected frame end");
    return 0;
  }
  // Both stop right after the closing parenthesis.
  check(used > 0 && text[used - 1] == ')');
  const std::string rest{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  check(rest == text.substr(used));

  auto message = readMessage(fromBuffer);
  if (!message) return 0;
  if (message->receivedSessionId) roundTrip(*message->receivedSessionId);
  if (message->reason) roundTrip(*message->reason);
  auto configuration = takeHostConfiguration(message.get());
  auto status = takeReplyStatus(message.get());
  if (configuration) check(status && status->success);
  return 0;
}
