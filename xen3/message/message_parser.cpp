// The frame notation into a MessageTree.
//
// One parsing loop serves both the buffer and the stream reader: it is a template over
// a byte source, so the two cannot drift apart. The loop keeps its stack of open nodes
// on the heap and the tree is a flat array, so nesting depth costs memory only.
#include <algorithm>
#include <climits>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "message_parser.h"

struct MessageTreeAccess {
  static std::string& names(MessageTree& tree) { return tree.names_; }
  static void setNameSpan(MessageTree& tree, MessageTree::NodeId node, std::size_t offset,
                          std::size_t length) {
    if (offset > UINT32_MAX || length > UINT32_MAX - offset) throw std::length_error("names too long");
    tree.nodes_[node].nameOffset = static_cast<uint32_t>(offset);
    tree.nodes_[node].nameLength = static_cast<uint32_t>(length);
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

void MessageTree::reserve(std::size_t nodes, std::size_t nameBytes) {
  nodes_.reserve(nodes_.size() + nodes);
  names_.reserve(names_.size() + nameBytes);
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
  if (offset > UINT32_MAX || text.size() > UINT32_MAX - offset) throw std::length_error("names too long");
  names_.append(text);
  nodes_[node].nameOffset = static_cast<uint32_t>(offset);
  nodes_[node].nameLength = static_cast<uint32_t>(text.size());
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

// Access to a stream buffer's get area. The members are protected; naming them through
// a derived class yields pointers to members of std::streambuf itself, usable on any
// stream buffer.
struct GetArea : std::streambuf {
  static char* next(std::streambuf* b) { return (b->*&GetArea::gptr)(); }
  static char* end(std::streambuf* b) { return (b->*&GetArea::egptr)(); }
  static void advance(std::streambuf* b, std::size_t n) {
    while (n > 0) {
      const int step = n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
      (b->*&GetArea::gbump)(step);
      n -= static_cast<std::size_t>(step);
    }
  }
};

// An input stream. Bytes are taken straight from the buffer's get area where it has
// one, and the buffer is told how far the parse got before it is asked for more and
// when the parse ends, so nothing past the closing parenthesis is consumed. A buffer
// without a get area is read one byte at a time through its public interface.
class StreamSource {
 public:
  explicit StreamSource(std::streambuf* buffer) : buffer_(buffer) { load(); }
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;
  ~StreamSource() { commit(); }

  int get() {
    if (cur_ == end_ && !refill()) return slowGet();
    return static_cast<unsigned char>(*cur_++);
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
      const char* run = cur_;
      while (cur_ < end_ && *cur_ != '"' && *cur_ != '\\') ++cur_;
      out.append(run, static_cast<std::size_t>(cur_ - run));
      int c;
      if (cur_ < end_) {
        c = static_cast<unsigned char>(*cur_++);  // a quote or a backslash
      } else if (refill()) {
        continue;  // more bytes to scan
      } else {
        c = slowGet();
      }
      if (c == kEnd) frameEnd();
      if (c == '"') return;
      if (c == '\\') {
        escape(out);
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
  }

  bool ended() const { return ended_; }

 private:
  using Traits = std::streambuf::traits_type;

  // After a backslash: an escaped backslash or quote is consumed and kept; before any
  // other byte the backslash stands for itself and that byte stays unread.
  void escape(std::string& out) {
    int next;
    if (cur_ < end_ || refill()) {
      next = static_cast<unsigned char>(*cur_);
    } else {
      const auto c = buffer_->sgetc();
      next = Traits::eq_int_type(c, Traits::eof()) ? kEnd
                                                   : static_cast<unsigned char>(Traits::to_char_type(c));
    }
    if (next == '\\' || next == '"') {
      out.push_back(static_cast<char>(next));
      if (cur_ < end_) {
        ++cur_;
      } else {
        buffer_->sbumpc();
      }
    } else {
      out.push_back('\\');
    }
  }

  void load() {
    cur_ = GetArea::next(buffer_);
    end_ = GetArea::end(buffer_);
    if (cur_ == nullptr) end_ = nullptr;
  }

  // Hands the bytes taken from the get area back to the buffer as consumed.
  void commit() {
    if (cur_ != nullptr && cur_ != GetArea::next(buffer_)) {
      GetArea::advance(buffer_, static_cast<std::size_t>(cur_ - GetArea::next(buffer_)));
    }
  }

  // Asks the buffer for more; true when the get area now has bytes to scan.
  bool refill() {
    commit();
    if (Traits::eq_int_type(buffer_->sgetc(), Traits::eof())) {
      load();
      return false;
    }
    load();
    return cur_ < end_;
  }

  int slowGet() {
    commit();
    const auto c = buffer_->sbumpc();
    load();
    if (Traits::eq_int_type(c, Traits::eof())) {
      ended_ = true;
      return kEnd;
    }
    return static_cast<unsigned char>(Traits::to_char_type(c));
  }

  std::streambuf* buffer_;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
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

// Makes room for a typical frame of that many bytes, where an element of some 20 bytes
// makes two nodes and the names take less space than the frame. Nesting or tiny
// elements just grow the tree further. The hint is capped, so that a huge frame of
// junk does not make the tree reserve several times its size up front.
void reserveFor(MessageTree& tree, std::size_t frameBytes) {
  constexpr std::size_t kMaxHint = std::size_t{16} << 20;
  if (frameBytes > kMaxHint) frameBytes = kMaxHint;
  try {
    tree.reserve(frameBytes / 10 + 1, frameBytes);
  } catch (...) {
    // only a hint; the parse itself reports a real shortage of memory
  }
}

// A frame in memory. A large one gets room for as many nodes as it can make at most (one
// per left parenthesis, one per quoted text) and for all its bytes as names, so that the
// tree never grows by copying itself: growing by doubling would hold the old and the new
// array at once, three times the final size, in one block, too much for a 32-bit process
// when a peer sends megabytes that are all nodes. Frames of ordinary size (a summary of
// 1,000 guests takes 280 KB) are not worth the counting pass and take the estimate.
void reserveFor(MessageTree& tree, std::string_view frame) {
  constexpr std::size_t kCountFrom = std::size_t{512} << 10;
  if (frame.size() < kCountFrom) return reserveFor(tree, frame.size());
  const auto opens = static_cast<std::size_t>(std::count(frame.begin(), frame.end(), '('));
  const auto quotes = static_cast<std::size_t>(std::count(frame.begin(), frame.end(), '"'));
  try {
    tree.reserve(opens + quotes / 2, frame.size());
  } catch (...) {
    // the parse itself reports a real shortage of memory
  }
}

std::size_t FrameEndScanner::scan(std::string_view bytes) {
  const char* const begin = bytes.data();
  const char* const end = begin + bytes.size();
  const char* p = begin;
  while (p < end) {
    if (phase_ == Phase::kInQuote) {
      // A run of text, at whatever length a frame may have: only a quote or a backslash
      // matters here.
      while (p < end && *p != '"' && *p != '\\') ++p;
      if (p == end) break;
      phase_ = *p++ == '"' ? Phase::kInList : Phase::kAfterBackslash;
      continue;
    }
    if (phase_ == Phase::kAfterBackslash) {
      // An escaped backslash or quote is text; before any other byte the backslash
      // stands for itself and that byte is text as well.
      phase_ = Phase::kInQuote;
      ++p;
      continue;
    }
    const char c = *p++;
    if (c == '\n') {
      if (lineFeed_) return static_cast<std::size_t>(p - begin);
      lineFeed_ = true;
      continue;
    }
    lineFeed_ = false;
    if (phase_ == Phase::kBeforeList) {
      if (c == '(') {
        phase_ = Phase::kInList;
        depth_ = 1;
      }
    } else if (phase_ == Phase::kInList) {
      if (c == '(') {
        ++depth_;
      } else if (c == ')') {
        if (--depth_ == 0) phase_ = Phase::kAfterList;
      } else if (c == '"') {
        phase_ = Phase::kInQuote;
      }
    }
  }
  return npos;
}

std::size_t parseFrame(std::string_view frame, MessageTree& tree) {
  reserveFor(tree, frame);
  BufferSource source(frame);
  parseGuarded(source, tree);
  return source.consumed();
}

void parseFrame(std::istream& in, MessageTree& tree) {
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr || !in.good()) frameEnd();
  std::streamsize available = 0;  // what is already buffered
  try {
    available = buffer->in_avail();
  } catch (...) {
    frameEnd();
  }
  if (available > 0) reserveFor(tree, static_cast<std::size_t>(available));
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
