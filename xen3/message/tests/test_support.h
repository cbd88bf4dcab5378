// Helpers shared by the message format tests.
#pragma once
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>

#include "message_parser.h"
#include "xs_model.h"

// The tree as text: each node as {name children...}, names in brackets so that empty
// names and spaces show.
inline void dumpNode(const MessageTree& tree, MessageTree::NodeId node, std::string& out) {
  out += "{[";
  out += tree.name(node);
  out += "]";
  for (auto child = tree.firstChild(node); child != MessageTree::kNone;
       child = tree.nextSibling(child)) {
    dumpNode(tree, child, out);
  }
  out += "}";
}

inline std::string dumpTree(const MessageTree& tree) {
  std::string out;
  for (auto node = tree.firstTopLevel(); node != MessageTree::kNone; node = tree.nextSibling(node)) {
    dumpNode(tree, node, out);
  }
  return out;
}

// The outcome of one parse: the error text (empty on success), the tree as text and
// what was left unread.
struct ParseOutcome {
  std::string error;
  std::string tree;
  std::string rest;
  bool operator==(const ParseOutcome& o) const {
    return error == o.error && tree == o.tree && rest == o.rest;
  }
};

inline ParseOutcome parseBuffer(std::string_view text) {
  MessageTree tree;
  ParseOutcome outcome;
  try {
    const std::size_t used = parseFrame(text, tree);
    outcome.rest = std::string(text.substr(used));
  } catch (const parser_exception& e) {
    outcome.error = e.what();
  }
  outcome.tree = dumpTree(tree);
  return outcome;
}

// A stream buffer that hands out one byte per refill of its get area.
class OneByteBuffer : public std::streambuf {
 public:
  explicit OneByteBuffer(std::string text) : text_(std::move(text)) { setg(nullptr, nullptr, nullptr); }

 protected:
  int_type underflow() override {
    if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::size_t next = gptr() == nullptr ? 0 : static_cast<std::size_t>(gptr() - text_.data());
    if (next >= text_.size()) return traits_type::eof();
    char* p = text_.data() + next;
    setg(p, p, p + 1);
    return traits_type::to_int_type(*p);
  }

 private:
  std::string text_;
};

// A stream buffer without any get area: every byte goes through underflow and uflow.
class UnbufferedBuffer : public std::streambuf {
 public:
  explicit UnbufferedBuffer(std::string text) : text_(std::move(text)) {}

 protected:
  int_type underflow() override {
    return pos_ < text_.size() ? traits_type::to_int_type(text_[pos_]) : traits_type::eof();
  }
  int_type uflow() override {
    return pos_ < text_.size() ? traits_type::to_int_type(text_[pos_++]) : traits_type::eof();
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

inline ParseOutcome parseStreamBuffer(std::streambuf& buffer) {
  std::istream in(&buffer);
  MessageTree tree;
  ParseOutcome outcome;
  try {
    parseFrame(in, tree);
    outcome.rest.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const parser_exception& e) {
    outcome.error = e.what();
  }
  outcome.tree = dumpTree(tree);
  return outcome;
}

inline ParseOutcome parseStream(const std::string& text) {
  std::istringstream in(text);
  MessageTree tree;
  ParseOutcome outcome;
  try {
    parseFrame(in, tree);
    outcome.rest.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const parser_exception& e) {
    outcome.error = e.what();
  }
  outcome.tree = dumpTree(tree);
  return outcome;
}

inline std::string written(const XsBase& object) {
  std::ostringstream out;
  object.writeTo(out);
  return out.str();
}

// Parses text (buffer reader) and reads the message from it.
inline std::unique_ptr<XsMessage> readText(std::string_view text) {
  MessageTree tree;
  parseFrame(text, tree);
  return readMessage(tree);
}
