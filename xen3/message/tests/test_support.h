// Helpers shared by the message format tests.
#pragma once
#include <sstream>
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
