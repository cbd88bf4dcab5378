// The frame notation into a MessageTree.
//
// One parsing loop serves both the buffer and the stream reader: it is a template over
// a byte source, so the two cannot drift apart. The loop keeps its stack of open nodes
// on the heap and the tree is a flat array, so nesting depth costs memory only.
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "message_parser.h"

struct MessageTreeAccess {
  static std::string& names(MessageTree& tree) { return tree.names_; }
  static void setNameSpan(MessageTree& tree, MessageTree::NodeId node, std::size_t offset,
                          std::size_t length) {
    tree.nodes_[node].nameOffset = offset;
    tree.nodes_[node].nameLength = length;
  }
  static bool hasName(const MessageTree& tree, MessageTree::NodeId node) {
    return tree.nodes_[node].nameLength != 0;
  }
};

MessageTree::MessageTree() { clear(); }

void MessageTree::clear() {
  nodes_.clear();
  names_.clear();
  nodes_.push_back(Node{0, 0, kNone, kNone, kNone});  // the invisible root
}

MessageTree::NodeId MessageTree::appendChild(NodeId parent) {
  if (nodes_.size() >= kNone) throw std::length_error("message tree full");
  const auto id = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(Node{0, 0, kNone, kNone, kNone});
  Node& p = nodes_[parent];
  if (p.lastChild == kNone) {
    p.firstChild = id;
  } else {
    nodes_[p.lastChild].nextSibling = id;
  }
  p.lastChild = id;
  return id;
}

void MessageTree::setName(NodeId node, std::string_view text) {
  const std::size_t offset = names_.size();
  names_.append(text);
  nodes_[node].nameOffset = offset;
  nodes_[node].nameLength = text.size();
}

MessageTree::NodeId MessageTree::findChild(NodeId node, std::string_view key) const {
  for (NodeId child = firstChild(node); child != kNone; child = nextSibling(child)) {
    if (name(child) == key) return child;
  }
  return kNone;
}

namespace {

constexpr int kEnd = -1;

[[noreturn]] void frameEnd() { throw parser_exception("unexpected frame end"); }

// A complete frame in memory.
class BufferSource {
 public:
  explicit BufferSource(std::string_view frame)
      : begin_(frame.data()), p_(frame.data()), end_(frame.data() + frame.size()) {}

  int get() { return p_ < end_ ? static_cast<unsigned char>(*p_++) : kEnd; }

  // Skips to just after the first left parenthesis; false when there is none.
  bool skipToOpen() {
    while (p_ < end_) {
      if (*p_++ == '(') return true;
    }
    return false;
  }

  // Reads a quoted text after its opening quote and appends it to out.
  void readQuoted(std::string& out) {
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
      out.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ == end_) frameEnd();
      if (*p_++ == '"') return;
      // A backslash: it escapes only a backslash or a double quote; before any other
      // byte it stands for itself and that byte is read as usual.
      if (p_ < end_ && (*p_ == '\\' || *p_ == '"')) {
        out.push_back(*p_++);
      } else {
        out.push_back('\\');
      }
    }
  }

  std::size_t consumed() const { return static_cast<std::size_t>(p_ - begin_); }

 private:
  const char* begin_;
  const char* p_;
  const char* end_;
};

// An input stream, read through its buffer one byte at a time so that nothing past
// the closing parenthesis is consumed.
class StreamSource {
 public:
  explicit StreamSource(std::streambuf* buffer) : buffer_(buffer) {}

  int get() {
    const auto c = buffer_->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      ended_ = true;
      return kEnd;
    }
    return static_cast<unsigned char>(Traits::to_char_type(c));
  }

  bool skipToOpen() {
    for (;;) {
      const int c = get();
      if (c == kEnd) return false;
      if (c == '(') return true;
    }
  }

  void readQuoted(std::string& out) {
    for (;;) {
      const int c = get();
      if (c == kEnd) frameEnd();
      if (c == '"') return;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      const auto next = buffer_->sgetc();  // looked at, not consumed
      if (!Traits::eq_int_type(next, Traits::eof())) {
        const char n = Traits::to_char_type(next);
        if (n == '\\' || n == '"') {
          buffer_->sbumpc();
          out.push_back(n);
          continue;
        }
      }
      out.push_back('\\');
    }
  }

  bool ended() const { return ended_; }

 private:
  using Traits = std::streambuf::traits_type;
  std::streambuf* buffer_;
  bool ended_ = false;
};

template <class Source>
void parseList(Source& source, MessageTree& tree) {
  using NodeId = MessageTree::NodeId;
  if (!source.skipToOpen()) frameEnd();
  std::string& names = MessageTreeAccess::names(tree);
  std::vector<NodeId> open;
  open.push_back(tree.appendChild(MessageTree::kRoot));
  while (!open.empty()) {
    switch (source.get()) {
      case '(':
        open.push_back(tree.appendChild(open.back()));
        break;
      case ')':
        open.pop_back();
        break;
      case '"': {
        const std::size_t offset = names.size();
        source.readQuoted(names);
        const std::size_t length = names.size() - offset;
        NodeId target = open.back();
        if (MessageTreeAccess::hasName(tree, target)) target = tree.appendChild(target);
        MessageTreeAccess::setNameSpan(tree, target, offset, length);
        break;
      }
      case ' ':
      case '\t':
      case '\n':
      case '\v':
      case '\f':
      case '\r':
        break;
      case kEnd:
        frameEnd();
      default:
        throw parser_exception("unexpected character");
    }
  }
}

// Runs the parse; every failure other than the notation's own becomes a frame end
// (memory running out, a stream buffer that throws).
template <class Source>
void parseGuarded(Source& source, MessageTree& tree) {
  try {
    parseList(source, tree);
  } catch (const parser_exception&) {
    throw;
  } catch (...) {
    frameEnd();
  }
}

}  // namespace

std::size_t parseFrame(std::string_view frame, MessageTree& tree) {
  BufferSource source(frame);
  parseGuarded(source, tree);
  return source.consumed();
}

void parseFrame(std::istream& in, MessageTree& tree) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr || !in.good()) frameEnd();
  StreamSource source(buffer);
  try {
    parseGuarded(source, tree);
  } catch (const parser_exception&) {
    if (source.ended()) {
      try {
        in.setstate(std::ios_base::eofbit | std::ios_base::failbit);
      } catch (...) {
        // the stream's exception mask asks for a throw; ours is the one that counts
      }
    }
    throw;
  }
}
