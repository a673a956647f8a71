// A sing-box configuration read exactly as sing-box reads it.
//
// The helper daemon must judge the very document that the engine will run,
// so this reader follows sing-box's decoder (sing's `common/json`, a copy of
// Go 1.21's encoding/json with context support and trailing commas) wherever
// the two could otherwise disagree:
//
//   - Comments are removed first, by sing-box's own rules
//     (config_comments.h); a leading byte order mark is refused, as the
//     decoder refuses it.
//   - Only the first JSON value counts: sing-box decodes one value from a
//     stream and never looks at what follows it, so text after it (even a
//     second object, or bytes that are no JSON) is ignored here too.
//   - The grammar is Go's: RFC 8259 plus one trailing comma before `]` or
//     `}` (but not `[,]` or `{,}`); whitespace is space, tab, CR and LF.
//   - Strings are decoded as Go decodes them: every byte that does not start
//     valid UTF-8 becomes U+FFFD, a `\u` escape of a lone or misordered
//     surrogate becomes U+FFFD, `\u0000` is a NUL byte. Keys are decoded the
//     same way, so `"p\u0061th"` is the key `path`.
//   - Nothing is merged or dropped: every member of every object is kept, in
//     order, with its key as written, repeated keys included, because Go
//     decodes every occurrence of a key into the option it names (see
//     effective()).
//
// Go matches a key to an option case-insensitively, with Unicode simple
// folding, when no exact match exists: "LOG", "Log" and "log" all name
// `log`, as do "\u212Aey" (the Kelvin sign folds to `k`) and "\u017Fecret"
// (the long s folds to `s`). foldOptionKey() maps a key to the option name
// it can reach. sing-box refuses unknown option names in most places, but a
// reader must not rely on that: every spelling that folds to an option name
// reaches it.
//
// The cost is bounded by the text: at most kMaxConfigDepth levels of arrays
// and objects (Go allows 10,000; configurations nest a handful), and about
// 20 bytes per value plus the decoded strings, whatever the text's shape; the
// text is checked in full before anything is built.
//
// Thread safety: a document is immutable once parsed; its nodes may be read
// from any number of threads. Nodes point at the document object: they do
// not survive its move or destruction.
#ifndef TARQ_DAEMON_CORE_CONFIG_DOCUMENT_H_
#define TARQ_DAEMON_CORE_CONFIG_DOCUMENT_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarq {

inline constexpr int kMaxConfigDepth = 64;

// Text that is no configuration sing-box would read; what() starts with
// "configuration: " and says where and why, for a person.
class ConfigDocumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ConfigKind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

class ConfigDocument;
class ConfigMemberRange;
class ConfigItemRange;

// One value of a document: a small handle, valid while its document lives.
class ConfigNode {
 public:
  ConfigKind kind() const;
  bool isNull() const { return kind() == ConfigKind::kNull; }
  bool isString() const { return kind() == ConfigKind::kString; }
  bool isArray() const { return kind() == ConfigKind::kArray; }
  bool isObject() const { return kind() == ConfigKind::kObject; }
  // A string's decoded bytes, or a number's literal as written; else empty.
  std::string_view text() const;
  bool boolean() const;
  // The members of an object or the items of an array; else none.
  size_t size() const;
  // Members in document order, every occurrence of a repeated key included.
  ConfigMemberRange members() const;
  ConfigItemRange items() const;

  // This value as nlohmann::json, as written: keys as written, repeated keys
  // collapsed to their last occurrence (nlohmann keeps one).
  nlohmann::json toJson() const;

  // Made by a document and its ranges; `index` is a node of `document`.
  ConfigNode(const ConfigDocument* document, uint32_t index) : document_(document), index_(index) {}

 private:
  const ConfigDocument* document_;
  uint32_t index_;
};

struct ConfigMember {
  std::string_view key;  // decoded, as written
  ConfigNode value;
};

// Iteration over the children of one node.
class ConfigChildIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using difference_type = std::ptrdiff_t;

  ConfigChildIterator(const ConfigDocument* document, uint32_t index)
      : document_(document), index_(index) {}
  ConfigChildIterator& operator++();
  bool operator==(const ConfigChildIterator& other) const { return index_ == other.index_; }
  bool operator!=(const ConfigChildIterator& other) const { return index_ != other.index_; }

 protected:
  const ConfigDocument* document_;
  uint32_t index_;
};

class ConfigMemberRange {
 public:
  class Iterator : public ConfigChildIterator {
   public:
    using ConfigChildIterator::ConfigChildIterator;
    using value_type = ConfigMember;
    ConfigMember operator*() const;
  };
  Iterator begin() const { return {document_, first_}; }
  Iterator end() const { return {document_, last_}; }

 private:
  friend class ConfigNode;
  ConfigMemberRange(const ConfigDocument* document, uint32_t first, uint32_t last)
      : document_(document), first_(first), last_(last) {}
  const ConfigDocument* document_;
  uint32_t first_;
  uint32_t last_;
};

class ConfigItemRange {
 public:
  class Iterator : public ConfigChildIterator {
   public:
    using ConfigChildIterator::ConfigChildIterator;
    using value_type = ConfigNode;
    ConfigNode operator*() const { return ConfigNode(document_, index_); }
  };
  Iterator begin() const { return {document_, first_}; }
  Iterator end() const { return {document_, last_}; }

 private:
  friend class ConfigNode;
  ConfigItemRange(const ConfigDocument* document, uint32_t first, uint32_t last)
      : document_(document), first_(first), last_(last) {}
  const ConfigDocument* document_;
  uint32_t first_;
  uint32_t last_;
};

class ConfigDocument {
 public:
  // Reads `text` as sing-box reads a configuration file. Throws
  // ConfigDocumentError for text sing-box would refuse to decode (bad JSON,
  // a byte order mark, no value at all), for nesting deeper than
  // kMaxConfigDepth and for the one comment engine versions read differently.
  static ConfigDocument parse(std::string_view text);

  ConfigDocument(ConfigDocument&&) = default;
  ConfigDocument& operator=(ConfigDocument&&) = default;
  ConfigDocument(const ConfigDocument&) = delete;
  ConfigDocument& operator=(const ConfigDocument&) = delete;

  // The first value of the text (sing-box needs an object, or null for an
  // empty configuration; anything else it refuses with a type error).
  ConfigNode root() const { return ConfigNode(this, 0); }

  // The document as sing-box's option structs see it, as nlohmann::json with
  // every key folded (foldOptionKey). Every occurrence of a key is decoded
  // into what the earlier ones left, as Go decodes into a struct:
  //   - an object onto an object merges, member by member, by these rules
  //     (Go decodes into the struct the pointer already holds);
  //   - an array replaces an array, but an object item decodes into the
  //     object item at the same index of the earlier array (Go reuses the
  //     slice's elements);
  //   - null resets an object or an array (a nil pointer, slice or map) and
  //     leaves a string, number or boolean as it was (Go ignores null there);
  //   - anything else replaces what was there.
  // What this cannot know without sing-box's types, and so differs from it:
  //   - keys of map-typed options (HTTP headers, `torrc`, hosts'
  //     `predefined`) are folded too, so two keys that differ only in letter
  //     case become one; Go keeps them apart;
  //   - null resets every object here; Go leaves a struct held by value
  //     (not by pointer) as it was;
  //   - Go may also decode into items left beyond the end of a shorter
  //     repeated array, from an even earlier one; here they are gone;
  //   - in inbounds, outbounds, endpoints, services, DNS servers, rules, rule
  //     sets and transports, sing-box first keeps only the last of keys
  //     repeated with exactly the same spelling and merges only spellings
  //     that differ in case; an earlier occurrence's members survive here.
  // The path policy never relies on this view: it judges every occurrence.
  nlohmann::json effective() const;

  // The effective value at `path` (folded keys from the root), computed from
  // the occurrences on that path only; null when absent.
  nlohmann::json effectiveAt(std::initializer_list<std::string_view> path) const;

  // What the document holds in memory, in bytes.
  size_t memoryBytes() const { return nodes_.capacity() * sizeof(Node) + pool_.capacity(); }

 private:
  friend class ConfigNode;
  friend class ConfigChildIterator;
  friend class ConfigMemberRange::Iterator;
  class Parser;

  // Values in document order (preorder): a container's children follow it.
  struct Node {
    uint32_t key = 0;        // member key: offset in pool_
    uint32_t keyLength = 0;  // member key: length
    // Scalars: text offset in pool_ and length (a boolean's value in `a`).
    // Containers: index one past the last node of the subtree, and the
    // number of children.
    uint32_t a = 0;
    uint32_t b = 0;
    ConfigKind kind = ConfigKind::kNull;
  };

  ConfigDocument() = default;
  uint32_t subtreeEnd(uint32_t index) const;

  std::vector<Node> nodes_;
  std::string pool_;  // decoded keys, strings and number literals
};

// The option name that `key` can reach: ASCII letters in lower case, the
// Kelvin sign as `k`, the long s as `s`; every other character unchanged (no
// other character folds to an ASCII letter, and sing-box's option names are
// ASCII). A key reaches the option `name` exactly when its fold is `name`.
std::string foldOptionKey(std::string_view key);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CONFIG_DOCUMENT_H_
