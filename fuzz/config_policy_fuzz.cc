// The helper's configuration reader and path policy on any text.
// Properties:
//   - reading and judging never crash and fail only with their own errors;
//   - for text that nlohmann also reads (plain JSON: no comments, no
//     trailing commas, no byte order mark, valid UTF-8) with no key repeated
//     in any letter case, within the depth limit, the reader reads it too,
//     its values as written equal nlohmann's, and its effective view equals
//     nlohmann's with the keys folded;
//   - the verdict does not depend on the text's form: the document written
//     back with every member, and the document with one top-level option's
//     object split into two repeated keys (which Go merges), get the same
//     verdict as the text.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "daemon/core/config_document.h"
#include "daemon/core/config_path_policy.h"
#include "fuzz_check.h"
#include "json_nesting.h"

namespace {

using nlohmann::json;
using tarq::ConfigDocument;
using tarq::ConfigKind;
using tarq::ConfigMember;
using tarq::ConfigNode;
using tarq::fuzzCheck;

constexpr char kFolder[] = "/srv/engine";

// "" when the policy passes the text, else the refusal's text.
std::string verdictOf(const std::string& text) {
  try {
    tarq::checkConfigText(text, kFolder);
  } catch (const tarq::RequestRefused& refused) {
    return refused.what();
  }
  return "";
}

json folded(const json& value, bool& collided) {
  if (value.is_array()) {
    json array = json::array();
    for (const json& item : value) {
      array.push_back(folded(item, collided));
    }
    return array;
  }
  if (!value.is_object()) {
    return value;
  }
  json object = json::object();
  for (const auto& [key, member] : value.items()) {
    const std::string name = tarq::foldOptionKey(key);
    collided = collided || object.contains(name);
    object[name] = folded(member, collided);
  }
  return object;
}

// Whether any object repeats a key in any letter case.
bool repeatsAKey(ConfigNode node) {
  if (node.isArray()) {
    for (ConfigNode item : node.items()) {
      if (repeatsAKey(item)) {
        return true;
      }
    }
  }
  if (!node.isObject()) {
    return false;
  }
  json seen = json::object();
  for (ConfigMember member : node.members()) {
    const std::string name = tarq::foldOptionKey(member.key);
    if (seen.contains(name) || repeatsAKey(member.value)) {
      return true;
    }
    seen[name] = true;
  }
  return false;
}

// The document as JSON text with every member, repeated ones included; the
// object at `splitIndex` of the root's members (if any) written as two
// repeated keys holding its first and second halves.
void write(ConfigNode node, std::string& out, long splitIndex = -1) {
  switch (node.kind()) {
    case ConfigKind::kObject: {
      out += "{";
      long index = 0;
      bool first = true;
      auto member = [&](std::string_view key) {
        out += first ? "" : ",";
        first = false;
        out += json(std::string(key)).dump(-1, ' ', false, json::error_handler_t::replace) + ":";
      };
      for (ConfigMember entry : node.members()) {
        if (index++ == splitIndex && entry.value.isObject() && entry.value.size() >= 2) {
          const size_t half = entry.value.size() / 2;
          for (int part = 0; part < 2; ++part) {
            member(entry.key);
            out += "{";
            size_t at = 0;
            bool firstInPart = true;
            for (ConfigMember inner : entry.value.members()) {
              if ((at++ < half) == (part == 0)) {
                out += firstInPart ? "" : ",";
                firstInPart = false;
                out += json(std::string(inner.key))
                           .dump(-1, ' ', false, json::error_handler_t::replace) +
                       ":";
                write(inner.value, out);
              }
            }
            out += "}";
          }
          continue;
        }
        member(entry.key);
        write(entry.value, out);
      }
      out += "}";
      return;
    }
    case ConfigKind::kArray: {
      out += "[";
      bool first = true;
      for (ConfigNode item : node.items()) {
        out += first ? "" : ",";
        first = false;
        write(item, out);
      }
      out += "]";
      return;
    }
    case ConfigKind::kString:
      out += json(std::string(node.text())).dump(-1, ' ', false, json::error_handler_t::replace);
      return;
    case ConfigKind::kNumber:
      out += node.text();
      return;
    case ConfigKind::kBool:
      out += node.boolean() ? "true" : "false";
      return;
    case ConfigKind::kNull:
      out += "null";
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<ConfigDocument> document;
  try {
    document.emplace(ConfigDocument::parse(text));
  } catch (const tarq::ConfigDocumentError& error) {
    fuzzCheck(std::string(error.what()).rfind("configuration: ", 0) == 0,
              "a reader's error starts with \"configuration: \"");
  }
  const std::string verdict = verdictOf(text);
  fuzzCheck(document.has_value() || !verdict.empty(), "text that cannot be read is refused");

  const bool byteOrderMark = text.rfind("\xEF\xBB\xBF", 0) == 0;
  // nlohmann ends the text at a NUL byte; Go's decoder, and so this reader,
  // refuse it as an invalid character.
  const bool nul = text.find('\0') != std::string::npos;
  json plain = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!plain.is_discarded() && !byteOrderMark && !nul &&
      tarq::jsonNesting(text) <= tarq::kMaxConfigDepth) {
    fuzzCheck(document.has_value(), "plain JSON within the depth limit is read");
    if (!repeatsAKey(document->root())) {
      bool collided = false;
      const json expected = folded(plain, collided);
      fuzzCheck(!collided, "no key repeated in any letter case");
      fuzzCheck(document->root().toJson() == plain, "values as written equal nlohmann's");
      fuzzCheck(document->effective() == expected, "the effective view equals nlohmann's, folded");
    }
  }
  if (!document.has_value()) {
    return 0;
  }

  std::string written;
  write(document->root(), written);
  fuzzCheck(verdictOf(written) == verdict, "the document written back gets the same verdict");
  const ConfigNode root = document->root();
  for (long index = 0; index < static_cast<long>(root.size()) && index < 8; ++index) {
    std::string split;
    write(root, split, index);
    if (split != written) {
      fuzzCheck(verdictOf(split) == verdict, "splitting an option's object changes no verdict");
    }
  }
  return 0;
}
