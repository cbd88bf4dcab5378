// Reading xen3 frames: the notation into a MessageTree (parseFrame), the tree into an
// XsMessage (readMessage).
//
// A frame is untrusted network input. Parsing uses no recursion and the tree is a flat
// array of nodes, so neither parsing nor destroying a deeply nested frame can exhaust
// the stack. Nothing here depends on the process locale.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "xs_model.h"

// A failure of the notation: "unexpected character" or "unexpected frame end".
class parser_exception : public std::exception {
 public:
  explicit parser_exception(const std::string& message) : message_(message) {}
  const char* what() const noexcept override { return message_.what(); }

 private:
  std::runtime_error message_;  // copying never throws
};

// An ordered tree of named nodes. Nodes are addressed by NodeId; kNone stands for "no
// node". The top-level nodes are the children of an invisible root (kRoot). Names are
// byte strings and may be empty. The tree only grows; nodes are released with it.
class MessageTree {
 public:
  using NodeId = uint32_t;
  static constexpr NodeId kNone = UINT32_MAX;
  static constexpr NodeId kRoot = 0;

  MessageTree();

  // Reading.
  NodeId firstTopLevel() const { return firstChild(kRoot); }
  NodeId firstChild(NodeId node) const { return nodes_[node].firstChild; }
  NodeId nextSibling(NodeId node) const { return nodes_[node].nextSibling; }
  std::string_view name(NodeId node) const {
    const Node& n = nodes_[node];
    return std::string_view(names_.data() + n.nameOffset, n.nameLength);
  }
  // The first child of node named exactly key (byte for byte), or kNone.
  NodeId findChild(NodeId node, std::string_view key) const;
  // Number of nodes, the invisible root excluded.
  std::size_t size() const { return nodes_.size() - 1; }

  // Building (used by the parser). A new node has an empty name and becomes the last
  // child of its parent.
  NodeId appendChild(NodeId parent);
  // Sets the name of node; the text is copied.
  void setName(NodeId node, std::string_view text);
  // Removes every node.
  void clear();
  // Makes room for that many more nodes and bytes of names.
  void reserve(std::size_t nodes, std::size_t nameBytes);

 private:
  friend struct MessageTreeAccess;  // the parser's fast path
  struct Node {  // 20 bytes on 32 and 64 bits alike
    uint32_t nameOffset;
    uint32_t nameLength;
    NodeId firstChild;
    NodeId lastChild;
    NodeId nextSibling;
  };
  std::vector<Node> nodes_;
  std::string names_;  // all names, back to back
};

// Reads exactly one top-level list from the input into tree, appending its nodes.
// Bytes before the first left parenthesis are skipped; nothing after the list's closing
// parenthesis is consumed. Throws parser_exception. After a failure the tree holds the
// nodes built so far.
void parseFrame(std::istream& in, MessageTree& tree);
// The same over a buffer. Returns the number of bytes consumed (up to and including
// the closing parenthesis).
std::size_t parseFrame(std::string_view frame, MessageTree& tree);

// The largest frame a receive accepts, its empty line included. A peer that never ends
// its frame fails the receive once this much has arrived. A data summary of 1,000 guests
// takes some 280 KB; the worst frame of this size (every byte a node) makes the parser
// hold about 25 bytes per frame byte, which a 32-bit process can spare.
constexpr std::size_t kMaxFrameSize = 4u * 1024u * 1024u;

// Finds where a frame ends in bytes as they arrive: at the first empty line ("\n\n")
// outside the quoted texts of the frame's list, so that a text holding a blank line (a
// description, say) does not cut its frame short. Quotes count where the parser reads
// them: between the list's opening and closing parentheses, with the parser's
// backslash rule. Each frame needs a scanner of its own (or reset()).
class FrameEndScanner {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Scans the next bytes of the frame. Returns how many of them belong to it, the empty
  // line included, or npos when the frame goes on beyond them.
  std::size_t scan(std::string_view bytes);
  void reset() { *this = FrameEndScanner(); }

 private:
  enum class Phase : uint8_t { kBeforeList, kInList, kInQuote, kAfterBackslash, kAfterList };
  Phase phase_ = Phase::kBeforeList;
  bool lineFeed_ = false;  // the last byte outside quotes was a line feed
  std::size_t depth_ = 0;  // open lists
};

// Builds the message from the tree's first top-level node, or returns null when the
// tree is empty or that node is not named "msg".
std::unique_ptr<XsMessage> readMessage(const MessageTree& tree);

// The conversions of received values. Integers: leading white space, an optional sign,
// decimal digits up to the first other byte, no digits giving 0, clamped to the 32-bit
// range. Reals: the C library's conversion in the "C" locale, whatever the process
// locale is.
int32_t parseXsInteger(std::string_view text);
double parseXsReal(std::string_view text);
