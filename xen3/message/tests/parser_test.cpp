// parseFrame: the notation into a tree, its failures, and the agreement of the buffer
// and stream readers.
#include <gtest/gtest.h>

#include <new>
#include <random>
#include <sstream>
#include <streambuf>

#include "test_support.h"
#include "xs_requests.h"

namespace {

void expectSame(const ParseOutcome& a, const ParseOutcome& b, const char* what, const std::string& text) {
  EXPECT_EQ(a.error, b.error) << what << ", input: " << text;
  EXPECT_EQ(a.tree, b.tree) << what << ", input: " << text;
  EXPECT_EQ(a.rest, b.rest) << what << ", input: " << text;
}

// The buffer reader and the stream reader over three kinds of stream buffer (all in
// one get area, one byte per refill, no get area at all) must give the same outcome.
ParseOutcome parseBoth(const std::string& text) {
  const ParseOutcome buffer = parseBuffer(text);
  expectSame(buffer, parseStream(text), "string stream", text);
  OneByteBuffer oneByte(text);
  expectSame(buffer, parseStreamBuffer(oneByte), "one byte per refill", text);
  UnbufferedBuffer unbuffered(text);
  expectSame(buffer, parseStreamBuffer(unbuffered), "unbuffered", text);
  return buffer;
}

TEST(ParseFrame, NotationToTree) {
  EXPECT_EQ(parseBoth("(\"cmd\" \"mh_getcfg\")").tree, "{[cmd]{[mh_getcfg]}}");
  EXPECT_EQ(parseBoth("(\"msg\" (\"cmd\" \"x\")(\"payload\" (\"a\" \"1\")))\n\n").tree,
            "{[msg]{[cmd]{[x]}}{[payload]{[a]{[1]}}}}");
  // A text after the name becomes a leaf; more texts become more leaves.
  EXPECT_EQ(parseBoth("(\"a\" \"b\" \"c\")").tree, "{[a]{[b]}{[c]}}");
  // An empty first text leaves the name empty, so the next text names the node.
  EXPECT_EQ(parseBoth("(\"\" \"x\")").tree, "{[x]}");
  // Once named, an empty text is a leaf with an empty name.
  EXPECT_EQ(parseBoth("(\"k\" \"\")").tree, "{[k]{[]}}");
  // A list before any text leaves the node unnamed; a later text names it.
  EXPECT_EQ(parseBoth("(() \"late\")").tree, "{[late]{[]}}");
  EXPECT_EQ(parseBoth("()").tree, "{[]}");
  // The six white-space bytes separate nothing and may appear anywhere between tokens.
  EXPECT_EQ(parseBoth("( \t\n\v\f\r\"a\"\r\n(\"b\")\t)").tree, "{[a]{[b]}}");
  // Parentheses, line feeds and bytes above 0x7F inside quotes are text.
  EXPECT_EQ(parseBoth("(\"k\" \"(x)\n\xC3\xA9\xFF\")").tree, "{[k]{[(x)\n\xC3\xA9\xFF]}}");
}

TEST(ParseFrame, BackslashRule) {
  EXPECT_EQ(parseBoth("(\"a\\\"b\")").tree, "{[a\"b]}");    // \" is a quote
  EXPECT_EQ(parseBoth("(\"a\\\\b\")").tree, "{[a\\b]}");    // \\ is a backslash
  EXPECT_EQ(parseBoth("(\"a\\nb\")").tree, "{[a\\nb]}");    // \n stays two bytes
  EXPECT_EQ(parseBoth("(\"\\\\\\\"\")").tree, "{[\\\"]}");  // \\\" is backslash, quote
  // A kept backslash does not swallow what follows: the quote still ends the text.
  EXPECT_EQ(parseBoth("(\"a\\x\" \"b\")").tree, "{[a\\x]{[b]}}");
  EXPECT_EQ(parseBoth("(\"a\\(\")").tree, "{[a\\(]}");
}

TEST(ParseFrame, SkipsLeadingBytesAndStopsAfterTheList) {
  // Anything before the first left parenthesis is skipped unexamined.
  ParseOutcome out = parseBoth("\nxyz\x80\"junk)(\"a\")");
  EXPECT_EQ(out.error, "");
  EXPECT_EQ(out.tree, "{[a]}");
  // The frame end and a second list are left unread.
  out = parseBoth("(\"a\")\n\n(\"b\")");
  EXPECT_EQ(out.tree, "{[a]}");
  EXPECT_EQ(out.rest, "\n\n(\"b\")");
  // Bytes after the list are not examined either.
  out = parseBoth("(\"a\")garbage\"");
  EXPECT_EQ(out.error, "");
  EXPECT_EQ(out.rest, "garbage\"");
}

TEST(ParseFrame, ParsesIntoAnExistingTree) {
  MessageTree tree;
  std::string_view text = "(\"a\")(\"b\")";
  const std::size_t used = parseFrame(text, tree);
  EXPECT_EQ(used, 5u);
  parseFrame(text.substr(used), tree);
  EXPECT_EQ(dumpTree(tree), "{[a]}{[b]}");
  EXPECT_EQ(tree.size(), 2u);
  tree.clear();
  EXPECT_EQ(tree.firstTopLevel(), MessageTree::kNone);
}

TEST(ParseFrame, UnexpectedCharacter) {
  const char* inputs[] = {
      "(a)",                // a letter
      "(\"k\" 1)",          // a digit
      "(\"k\" \x80)",       // a byte of 0x80
      "(\xFF)",             // a byte of 0xFF
      "(\\\"k\")",          // a backslash outside quotes
      "(\"k\"\x1b)",        // another control byte
      "(()x",               // after a nested list
      "(\"a\" {\"b\"})",    // other punctuation
  };
  for (const char* input : inputs) {
    const ParseOutcome out = parseBoth(input);
    EXPECT_EQ(out.error, "unexpected character") << input;
  }
  // A NUL byte is a byte like any other.
  EXPECT_EQ(parseBoth(std::string("(\"k\"\0)", 6)).error, "unexpected character");
  // Inside quotes a NUL is text.
  EXPECT_EQ(parseBoth(std::string("(\"k\0\")", 6)).tree, std::string("{[k\0]}", 6));
}

TEST(ParseFrame, UnexpectedFrameEnd) {
  const char* inputs[] = {
      "",                 // nothing at all
      "\n\n",             // no left parenthesis
      "\"msg\" )",        // no left parenthesis, only other bytes
      "(",                // the list never closes
      "(\"msg\" (\"a\" \"b\")",  // the outer list never closes
      "(((()))",          // one level short
      "(\"abc",           // inside a quoted text
      "(\"abc\\",         // right after a backslash inside a quoted text
      "(\"abc\\\"",       // an escaped quote does not end the text
  };
  for (const char* input : inputs) {
    EXPECT_EQ(parseBoth(input).error, "unexpected frame end") << input;
  }
}

TEST(ParseFrame, FailureKeepsWhatWasBuilt) {
  MessageTree tree;
  EXPECT_THROW(parseFrame("(\"msg\" (\"cmd\" \"x\") ?", tree), parser_exception);
  EXPECT_EQ(dumpTree(tree), "{[msg]{[cmd]{[x]}}}");
}

// A stream buffer that delivers some bytes and then fails the way running out of
// memory would.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(std::string data) : data_(std::move(data)) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 protected:
  int_type underflow() override { throw std::bad_alloc(); }

 private:
  std::string data_;
};

TEST(ParseFrame, OtherFailuresAreAFrameEnd) {
  FailingBuffer buffer("(\"msg\" (\"a\"");
  std::istream in(&buffer);
  MessageTree tree;
  try {
    parseFrame(in, tree);
    FAIL() << "no exception";
  } catch (const parser_exception& e) {
    EXPECT_STREQ(e.what(), "unexpected frame end");
  }
}

TEST(ParseFrame, StreamStateAndExceptionMask) {
  // A stream that asks for exceptions still gets the parser's own failure.
  std::istringstream in("(\"a\"");
  in.exceptions(std::ios_base::failbit | std::ios_base::eofbit);
  MessageTree tree;
  try {
    parseFrame(in, tree);
    FAIL() << "no exception";
  } catch (const parser_exception& e) {
    EXPECT_STREQ(e.what(), "unexpected frame end");
  }
  // The end of the input is recorded on the stream.
  std::istringstream ended("(");
  EXPECT_THROW(parseFrame(ended, tree), parser_exception);
  EXPECT_TRUE(ended.eof());
  EXPECT_TRUE(ended.fail());
  // A stream that has already failed yields a frame end, not a read.
  std::istringstream failed("(\"a\")");
  failed.setstate(std::ios_base::failbit);
  EXPECT_THROW(parseFrame(failed, tree), parser_exception);
  // A complete parse leaves the stream good and positioned after the list.
  std::istringstream good("  (\"a\")\n\n");
  MessageTree other;
  parseFrame(good, other);
  EXPECT_TRUE(good.good());
  EXPECT_EQ(good.get(), '\n');
}

// Deep nesting costs memory only: no recursion while parsing or destroying.
TEST(ParseFrame, MillionLevelsDeep) {
  const std::size_t depth = 1000000;
  std::string text(depth, '(');
  text.append(depth, ')');
  {
    MessageTree tree;
    EXPECT_EQ(parseFrame(text, tree), text.size());
    EXPECT_EQ(tree.size(), depth);
    EXPECT_EQ(readMessage(tree), nullptr);
  }
  {
    std::istringstream in(text);
    MessageTree tree;
    parseFrame(in, tree);
    EXPECT_EQ(tree.size(), depth);
  }
  // Under a message, with the reader walking it.
  std::string msg = "(\"msg\" (\"payload\" (\"data\" " + std::string(depth, '(') +
                    std::string(depth, ')') + ")))";
  MessageTree tree;
  parseFrame(msg, tree);
  auto message = readMessage(tree);
  ASSERT_NE(message, nullptr);
  ASSERT_NE(message->payload, nullptr);
  ASSERT_NE(message->payload->data, nullptr);
  EXPECT_EQ(message->payload->data->hostMetrics, nullptr);
  // Unclosed.
  MessageTree open;
  EXPECT_THROW(parseFrame(std::string(depth, '('), open), parser_exception);
}

// The two readers agree on every input of a dense random sample over the notation's
// bytes, including where the first list ends.
// Where the frame scanner says a frame ends, whole and fed in two pieces at every
// split point; npos when it does not end.
std::size_t frameEnd(const std::string& text) {
  FrameEndScanner whole;
  const std::size_t end = whole.scan(text);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    FrameEndScanner pieces;
    std::size_t found = pieces.scan(std::string_view(text).substr(0, cut));
    if (found == FrameEndScanner::npos) {
      found = pieces.scan(std::string_view(text).substr(cut));
      if (found != FrameEndScanner::npos) found += cut;
    }
    EXPECT_EQ(found, end) << "split at " << cut << " of: " << text;
  }
  return end;
}

TEST(FrameEndScanner, EndsAtTheFirstEmptyLineOutsideQuotedTexts) {
  const std::string frame = "(\"msg\" (\"description\" \"one\n\ntwo\"))\n\n";
  EXPECT_EQ(frameEnd(frame + "(\"next\")\n\n"), frame.size());
  // The backslash rule of the parser: an escaped quote does not end the text, an
  // escaped backslash does not escape the quote after it.
  const std::string escapes = "(\"k\" \"a\\\"\n\nb\" \"c\\\\\")\n\n";
  EXPECT_EQ(frameEnd(escapes), escapes.size());
  EXPECT_EQ(frameEnd("(\"k\" \"a\\n\")\n\n"), 13u);
  // Quotes count only inside the list: before it and after it they are bytes.
  EXPECT_EQ(frameEnd("\"\n\n(\"k\")"), 3u);
  EXPECT_EQ(frameEnd("(\"k\")\"\n\n"), 8u);
  // A blank line outside quotes ends the frame, also inside the list (the parser then
  // meets the frame end); without one the frame goes on.
  EXPECT_EQ(frameEnd("(\"k\"\n\n\"v\")\n\n"), 6u);
  EXPECT_EQ(frameEnd("(\"k\" \"open\n\n"), FrameEndScanner::npos);
  EXPECT_EQ(frameEnd("(\"k\")\n \n"), FrameEndScanner::npos);
}

TEST(FrameEndScanner, AgreesWithTheParserOnWrittenTexts) {
  // Any text the writer quotes, blank lines and escapes included, ends its frame where
  // the frame really ends, and the frame parses back to the same text.
  const std::string texts[] = {"\n\n", "\\\n\n\"", "a\n\n\n\nb", "\")\n\n(\"", "\\\\\"\n\n"};
  for (const std::string& text : texts) {
    auto request = buildVmSave(text, text);
    std::ostringstream out;
    request->writeTo(out);
    const std::string frame = out.str();
    EXPECT_EQ(frameEnd(frame + "(\"next\")\n\n"), frame.size()) << frame;
    MessageTree tree;
    parseFrame(frame, tree);
    EXPECT_EQ(readMessage(tree)->receivedSessionId, text);
  }
}

TEST(ParseFrame, BufferAndStreamReadersAgree) {
  const char alphabet[] = {'(', ')', '"', '\\', ' ', 'a', '\n', '(', ')', '"'};
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = length(random); n > 0; --n) text.push_back(alphabet[pick(random)]);
    if (parseBoth(text).error.empty()) ++parsed;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(parsed, 100);  // the sample reaches successful parses, not only failures
}

}  // namespace
