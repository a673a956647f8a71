#include "config_document.h"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "config_comments.h"

namespace tarq {
namespace {

using nlohmann::json;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// The length of the valid UTF-8 sequence at the start of `text`, as Go's
// utf8.DecodeRune accepts it (shortest form, no surrogates, at most
// U+10FFFF); 0 when none starts there.
size_t validUtf8Length(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto continuation = [&](size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return i < text.size() && byte(i) >= low && byte(i) <= high;
  };
  const unsigned char first = byte(0);
  if (first < 0x80) {
    return 1;
  }
  if (first >= 0xC2 && first <= 0xDF) {
    return continuation(1) ? 2 : 0;
  }
  if (first >= 0xE0 && first <= 0xEF) {
    const unsigned char low = first == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = first == 0xED ? 0x9F : 0xBF;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (first >= 0xF0 && first <= 0xF4) {
    const unsigned char low = first == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = first == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

void appendUtf8(std::string& out, uint32_t rune) {
  if (rune < 0x80) {
    out.push_back(static_cast<char>(rune));
  } else if (rune < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (rune >> 6)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  } else if (rune < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (rune >> 12)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (rune >> 18)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  }
}

// The code unit of a `\uXXXX` escape at the start of `text`, or -1.
int32_t escapedCodeUnit(std::string_view text) {
  if (text.size() < 6 || text[0] != '\\' || text[1] != 'u') {
    return -1;
  }
  int32_t unit = 0;
  for (size_t i = 2; i < 6; ++i) {
    int digit = hexValue(text[i]);
    if (digit < 0) {
      return -1;
    }
    unit = unit * 16 + digit;
  }
  return unit;
}

// Appends the decoded content of a JSON string (without its quotes) that
// the grammar has already accepted, as Go's unquote decodes it.
void decodeString(std::string_view raw, std::string& out) {
  size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\\') {
      const char escaped = raw[i + 1];
      switch (escaped) {
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          const int32_t unit = escapedCodeUnit(raw.substr(i));
          i += 6;
          if (unit >= 0xD800 && unit < 0xE000) {
            // A high surrogate followed by a low one is one character; any
            // other surrogate is U+FFFD, and what follows is read afresh.
            const int32_t next = escapedCodeUnit(raw.substr(i));
            if (unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
              appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
              i += 6;
            } else {
              out.append(kReplacementCharacter);
            }
          } else {
            appendUtf8(out, static_cast<uint32_t>(unit));
          }
          continue;
        }
        default:  // '"', '\\' and '/'
          out.push_back(escaped);
      }
      i += 2;
      continue;
    }
    if (static_cast<unsigned char>(c) < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    const size_t length = validUtf8Length(raw.substr(i));
    if (length == 0) {
      out.append(kReplacementCharacter);
      ++i;
    } else {
      out.append(raw.substr(i, length));
      i += length;
    }
  }
}

std::string describeByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x21 && byte < 0x7F) {
    return std::string("'") + c + "'";
  }
  static const char kHex[] = "0123456789abcdef";
  return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 15];
}

// nlohmann's own reading of a number literal, so that the effective view
// and nlohmann::json::parse agree on every number.
json numberToJson(std::string_view literal) {
  const bool integral = literal.find_first_of(".eE") == std::string_view::npos;
  const char* begin = literal.data();
  const char* end = begin + literal.size();
  if (integral && literal.front() == '-') {
    int64_t value = 0;
    auto [rest, failure] = std::from_chars(begin, end, value);
    if (failure == std::errc() && rest == end) {
      return json(value);
    }
  } else if (integral) {
    uint64_t value = 0;
    auto [rest, failure] = std::from_chars(begin, end, value);
    if (failure == std::errc() && rest == end) {
      return json(value);
    }
  }
  return json(std::strtod(std::string(literal).c_str(), nullptr));
}

}  // namespace

// Reads the stripped text twice: once to check it and count what it holds,
// once to build exactly that, so that nothing grows while it is read and a
// bad text costs no more than its checking.
class ConfigDocument::Parser {
 public:
  Parser(std::string_view original, std::string_view text, ConfigDocument* document)
      : original_(original), text_(text), document_(document) {}

  void parseDocument() {
    skipSpace();
    if (at_ == text_.size()) {
      throw ConfigDocumentError("configuration: no JSON value in it");
    }
    parseValue(0, 0, 0);
    // What follows the first value is never read by sing-box.
  }

  uint32_t nodeCount() const { return nodeCount_; }
  size_t poolBytes() const { return poolBytes_; }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    const size_t offset = offsetBeforeStripping(original_, at_);
    throw ConfigDocumentError("configuration: " + describeTextPosition(original_, offset) + ": " +
                              what);
  }

  [[noreturn]] void failHere(const std::string& expected) const {
    if (at_ >= text_.size()) {
      fail("the text ends where " + expected);
    }
    fail("unexpected " + describeByte(text_[at_]) + " where " + expected);
  }

  void skipSpace() {
    while (at_ < text_.size() && isSpace(text_[at_])) {
      ++at_;
    }
  }

  bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }

  // Adds a node; returns its index. Counts only, in the checking pass.
  uint32_t addNode(ConfigKind kind, uint32_t key, uint32_t keyLength) {
    const uint32_t index = nodeCount_++;
    if (document_ != nullptr) {
      Node& node = document_->nodes_[index];
      node.kind = kind;
      node.key = key;
      node.keyLength = keyLength;
    }
    return index;
  }

  // Copies `bytes` to the pool; returns their offset.
  uint32_t addText(std::string_view bytes) {
    const auto offset = static_cast<uint32_t>(poolBytes_);
    poolBytes_ += bytes.size();
    if (document_ != nullptr) {
      document_->pool_.append(bytes);
    }
    return offset;
  }

  void parseValue(int depth, uint32_t key, uint32_t keyLength) {
    skipSpace();
    if (at_ >= text_.size()) {
      failHere("a value should start");
    }
    const char c = text_[at_];
    if (c == '{' || c == '[') {
      parseContainer(depth + 1, key, keyLength);
    } else if (c == '"') {
      const auto [offset, length] = parseString();
      const uint32_t index = addNode(ConfigKind::kString, key, keyLength);
      setScalar(index, offset, length);
    } else if (c == '-' || isDigit(c)) {
      const size_t start = at_;
      parseNumber();
      const uint32_t offset = addText(text_.substr(start, at_ - start));
      const uint32_t index = addNode(ConfigKind::kNumber, key, keyLength);
      setScalar(index, offset, static_cast<uint32_t>(at_ - start));
    } else if (c == 't' || c == 'f' || c == 'n') {
      parseLiteral(key, keyLength);
    } else {
      failHere("a value should start");
    }
  }

  void setScalar(uint32_t index, uint32_t a, uint32_t b) {
    if (document_ != nullptr) {
      document_->nodes_[index].a = a;
      document_->nodes_[index].b = b;
    }
  }

  void parseContainer(int depth, uint32_t key, uint32_t keyLength) {
    if (depth > kMaxConfigDepth) {
      fail("nested deeper than " + std::to_string(kMaxConfigDepth) + " levels");
    }
    const bool object = text_[at_] == '{';
    const char close = object ? '}' : ']';
    const uint32_t index =
        addNode(object ? ConfigKind::kObject : ConfigKind::kArray, key, keyLength);
    uint32_t children = 0;
    ++at_;
    skipSpace();
    if (peek(close)) {
      ++at_;
    } else {
      for (;;) {
        if (object) {
          skipSpace();
          if (!peek('"')) {
            failHere("a member's key (a string) should start");
          }
          const auto [memberKey, memberKeyLength] = parseString();
          skipSpace();
          if (!peek(':')) {
            failHere("':' should follow a key");
          }
          ++at_;
          parseValue(depth, memberKey, memberKeyLength);
        } else {
          parseValue(depth, 0, 0);
        }
        ++children;
        skipSpace();
        if (peek(',')) {
          ++at_;
          skipSpace();
          // One trailing comma is allowed, as sing-box's decoder allows it.
          if (peek(close)) {
            ++at_;
            break;
          }
          continue;
        }
        if (peek(close)) {
          ++at_;
          break;
        }
        failHere(std::string("',' or '") + close + "' should follow " +
                 (object ? "a member" : "an item"));
      }
    }
    if (document_ != nullptr) {
      document_->nodes_[index].a = nodeCount_;
      document_->nodes_[index].b = children;
    }
  }

  // Checks a string at the cursor and moves past it; returns where its
  // decoded bytes went in the pool.
  std::pair<uint32_t, uint32_t> parseString() {
    ++at_;  // the opening quote
    const size_t start = at_;
    for (;;) {
      if (at_ >= text_.size()) {
        fail("the text ends inside a string");
      }
      const char c = text_[at_];
      if (c == '"') {
        break;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        fail("a control character (" + describeByte(c) + ") inside a string");
      }
      if (c == '\\') {
        if (++at_ >= text_.size()) {
          fail("the text ends inside a string");
        }
        const char escaped = text_[at_];
        if (escaped == 'u') {
          for (int i = 1; i <= 4; ++i) {
            if (at_ + i >= text_.size() || hexValue(text_[at_ + i]) < 0) {
              at_ += i;
              fail("a \\u escape needs four hexadecimal digits");
            }
          }
          at_ += 4;
        } else if (std::string_view("bfnrt\\/\"").find(escaped) == std::string_view::npos) {
          fail("an unknown escape in a string");
        }
      }
      ++at_;
    }
    const std::string_view raw = text_.substr(start, at_ - start);
    ++at_;  // the closing quote
    scratch_.clear();
    decodeString(raw, scratch_);
    const uint32_t offset = addText(scratch_);
    return {offset, static_cast<uint32_t>(scratch_.size())};
  }

  void parseDigits() {
    if (at_ >= text_.size() || !isDigit(text_[at_])) {
      failHere("a digit should follow");
    }
    while (at_ < text_.size() && isDigit(text_[at_])) {
      ++at_;
    }
  }

  void parseNumber() {
    if (peek('-')) {
      ++at_;
    }
    if (peek('0')) {
      ++at_;
    } else {
      parseDigits();
    }
    if (peek('.')) {
      ++at_;
      parseDigits();
    }
    if (peek('e') || peek('E')) {
      ++at_;
      if (peek('+') || peek('-')) {
        ++at_;
      }
      parseDigits();
    }
  }

  void parseLiteral(uint32_t key, uint32_t keyLength) {
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        const ConfigKind kind = word == "null" ? ConfigKind::kNull : ConfigKind::kBool;
        const uint32_t index = addNode(kind, key, keyLength);
        setScalar(index, word == "true" ? 1 : 0, 0);
        return;
      }
    }
    failHere("true, false or null should be");
  }

  const std::string_view original_;
  const std::string_view text_;
  ConfigDocument* const document_;  // null while checking
  size_t at_ = 0;
  uint32_t nodeCount_ = 0;
  size_t poolBytes_ = 0;
  std::string scratch_;
};

ConfigDocument ConfigDocument::parse(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    throw ConfigDocumentError(
        "configuration: it starts with a byte order mark, which sing-box refuses; save it as "
        "UTF-8 without one");
  }
  if (text.size() >= std::numeric_limits<uint32_t>::max() / 4) {
    throw ConfigDocumentError("configuration: too large");
  }
  const std::string stripped = stripConfigComments(text);
  Parser check(text, stripped, nullptr);
  check.parseDocument();

  ConfigDocument document;
  document.nodes_.resize(check.nodeCount());
  document.pool_.reserve(check.poolBytes());
  Parser build(text, stripped, &document);
  build.parseDocument();
  return document;
}

uint32_t ConfigDocument::subtreeEnd(uint32_t index) const {
  const Node& node = nodes_[index];
  return node.kind == ConfigKind::kArray || node.kind == ConfigKind::kObject ? node.a : index + 1;
}

ConfigKind ConfigNode::kind() const {
  return document_->nodes_[index_].kind;
}

std::string_view ConfigNode::text() const {
  const auto& node = document_->nodes_[index_];
  if (node.kind != ConfigKind::kString && node.kind != ConfigKind::kNumber) {
    return {};
  }
  return std::string_view(document_->pool_).substr(node.a, node.b);
}

bool ConfigNode::boolean() const {
  const auto& node = document_->nodes_[index_];
  return node.kind == ConfigKind::kBool && node.a != 0;
}

size_t ConfigNode::size() const {
  const auto& node = document_->nodes_[index_];
  return node.kind == ConfigKind::kArray || node.kind == ConfigKind::kObject ? node.b : 0;
}

ConfigMemberRange ConfigNode::members() const {
  if (!isObject()) {
    return {document_, 0, 0};
  }
  return {document_, index_ + 1, document_->subtreeEnd(index_)};
}

ConfigItemRange ConfigNode::items() const {
  if (!isArray()) {
    return {document_, 0, 0};
  }
  return {document_, index_ + 1, document_->subtreeEnd(index_)};
}

ConfigChildIterator& ConfigChildIterator::operator++() {
  index_ = document_->subtreeEnd(index_);
  return *this;
}

ConfigMember ConfigMemberRange::Iterator::operator*() const {
  const auto& node = document_->nodes_[index_];
  return {std::string_view(document_->pool_).substr(node.key, node.keyLength),
          ConfigNode(document_, index_)};
}

json ConfigNode::toJson() const {
  switch (kind()) {
    case ConfigKind::kNull:
      return nullptr;
    case ConfigKind::kBool:
      return boolean();
    case ConfigKind::kNumber:
      return numberToJson(text());
    case ConfigKind::kString:
      return std::string(text());
    case ConfigKind::kArray: {
      json array = json::array();
      for (ConfigNode item : items()) {
        array.push_back(item.toJson());
      }
      return array;
    }
    case ConfigKind::kObject: {
      json object = json::object();
      for (ConfigMember member : members()) {
        object[std::string(member.key)] = member.value.toJson();
      }
      return object;
    }
  }
  return nullptr;
}

namespace {

// Decodes `node` into `target` as Go decodes a value into what an earlier
// occurrence left there (see ConfigDocument::effective()).
void decodeOnto(json& target, ConfigNode node) {
  switch (node.kind()) {
    case ConfigKind::kNull:
      if (target.is_object() || target.is_array()) {
        target = nullptr;
      }
      return;
    case ConfigKind::kObject:
      if (!target.is_object()) {
        target = json::object();
      }
      for (ConfigMember member : node.members()) {
        decodeOnto(target[foldOptionKey(member.key)], member.value);
      }
      return;
    case ConfigKind::kArray: {
      json earlier = target.is_array() ? std::move(target) : json::array();
      json array = json::array();
      size_t index = 0;
      for (ConfigNode item : node.items()) {
        json element = index < earlier.size() ? std::move(earlier[index]) : json();
        decodeOnto(element, item);
        array.push_back(std::move(element));
        ++index;
      }
      target = std::move(array);
      return;
    }
    default:
      target = node.toJson();
  }
}

// decodeOnto() for the occurrences along `path` only.
void decodeAlong(json& target, ConfigNode node, const std::vector<std::string_view>& path,
                 size_t depth) {
  if (depth == path.size()) {
    decodeOnto(target, node);
    return;
  }
  switch (node.kind()) {
    case ConfigKind::kObject:
      if (!target.is_object()) {
        target = json::object();
      }
      for (ConfigMember member : node.members()) {
        if (foldOptionKey(member.key) == path[depth]) {
          decodeAlong(target[std::string(path[depth])], member.value, path, depth + 1);
        }
      }
      return;
    case ConfigKind::kArray:
      // Not an object where the path needs one: sing-box refuses it; what
      // it held does not matter.
      target = json::array();
      return;
    default:
      decodeOnto(target, node);
  }
}

}  // namespace

json ConfigDocument::effective() const {
  json result;
  decodeOnto(result, root());
  return result;
}

json ConfigDocument::effectiveAt(std::initializer_list<std::string_view> path) const {
  const std::vector<std::string_view> steps(path);
  json result;
  decodeAlong(result, root(), steps, 0);
  const json* at = &result;
  for (std::string_view step : steps) {
    if (!at->is_object()) {
      return nullptr;
    }
    auto found = at->find(std::string(step));
    if (found == at->end()) {
      return nullptr;
    }
    at = &*found;
  }
  return *at;
}

std::string foldOptionKey(std::string_view key) {
  std::string folded;
  folded.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    if (c >= 'A' && c <= 'Z') {
      folded.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (key.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
      folded.push_back('k');
      i += 2;
    } else if (key.substr(i, 2) == "\xC5\xBF") {  // U+017F LATIN SMALL LETTER LONG S
      folded.push_back('s');
      i += 1;
    } else {
      folded.push_back(c);
    }
  }
  return folded;
}

}  // namespace tarq
