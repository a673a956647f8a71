// The configuration reader reads text as sing-box reads it: its comments,
// Go's grammar with trailing commas, Go's string decoding, the first value
// only, every member kept; and the effective view decodes repeated keys as
// Go does.
#include "daemon/core/config_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarq {
namespace {

using nlohmann::json;

json effectiveOf(const std::string& text) {
  return ConfigDocument::parse(text).effective();
}

std::string errorOf(const std::string& text) {
  try {
    ConfigDocument::parse(text);
  } catch (const ConfigDocumentError& error) {
    return error.what();
  }
  return "";
}

TEST(ConfigDocumentTest, StripsCommentsExactlyAsSingBoxDoes) {
  const std::pair<std::string, json> cases[] = {
      {"{\"a\": 1 // to the end of the line }\n}", {{"a", 1}}},
      {"# a hash comment\n{\"a\": 1} # after", {{"a", 1}}},
      // Nothing inside a string is a comment, and an escaped quote does not
      // end the string.
      {R"({"a": "x // y", "b": "/* z */", "c": "# w", "d": "q\"//not"})",
       {{"a", "x // y"}, {"b", "/* z */"}, {"c", "# w"}, {"d", "q\"//not"}}},
      // A block comment leaves nothing between its neighbours.
      {R"({"a": 1/**/2, "b": tr/* split */ue, "c": "x"/**/})",
       {{"a", 12}, {"b", true}, {"c", "x"}}},
      // Quotes, braces and "*/" look-alikes inside comments.
      {"{/* \"}\" { */ \"a\": /* '\\\" */ 1, # \" {\n \"b\": 2 // */ }\n}", {{"a", 1}, {"b", 2}}},
      {"{\"a\": 1 /* spans\nlines */, \"b\": 2 /** stars **/}", {{"a", 1}, {"b", 2}}},
      // An unterminated comment after the value swallows only what sing-box
      // never reads.
      {R"({"a": 1} /* never closed)", {{"a", 1}}},
      {R"({"a": "*/"})", {{"a", "*/"}}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(effectiveOf(text), expected) << text;
  }
  EXPECT_NE(errorOf(R"({"a": 1 /* never closed)").find("the text ends"), std::string::npos);
  EXPECT_NE(errorOf(R"({"a": 1 / 2})").find("unexpected '/'"), std::string::npos);
  // Older and newer sing-box end this comment in different places.
  EXPECT_NE(errorOf("{\"a\": 1 /* x *\n\n/ , \"b\": 2 */}").find("read differently"),
            std::string::npos);
  EXPECT_EQ(effectiveOf("{\"a\": 1 /* x *\n y */}"), json({{"a", 1}}));
}

TEST(ConfigDocumentTest, ReadsOnlyTheFirstValueWithGoGrammarAndTrailingCommas) {
  EXPECT_EQ(effectiveOf(R"({"a": 1} and then {"b": anything at all)"), json({{"a", 1}}));
  EXPECT_EQ(effectiveOf(R"({"a": 1}{"log": {"output": "/etc/x"}})"), json({{"a", 1}}));
  EXPECT_EQ(effectiveOf(R"({"a": [1, 2, ], "b": {"c": 3,},})"),
            json({{"a", {1, 2}}, {"b", {{"c", 3}}}}));
  EXPECT_EQ(effectiveOf(" \t\r\n null "), json());
  EXPECT_EQ(effectiveOf(R"({"n": [-0, 1.5e+3, 0.25, -12, 18446744073709551615]})")["n"],
            json::parse("[-0, 1.5e+3, 0.25, -12, 18446744073709551615]"));

  const std::pair<std::string, std::string> refused[] = {
      {"", "no JSON value"},
      {" // only a comment\n", "no JSON value"},
      {"\xEF\xBB\xBF{}", "byte order mark"},
      {"[,]", "unexpected ','"},
      {"{,}", "unexpected ','"},
      {"[1,,]", "unexpected ','"},
      {R"({"a": 01})", "unexpected '1'"},
      {R"({"a": 1.})", "a digit should follow"},
      {R"({"a": -})", "a digit should follow"},
      {R"({"a": 1e})", "a digit should follow"},
      {R"({"a": tru})", "true, false or null"},
      {R"({"a": 'x'})", "unexpected '''"},
      {R"({a: 1})", "a member's key"},
      {R"({"a" 1})", "':' should follow a key"},
      {R"({"a": 1 "b": 2})", "',' or '}' should follow a member"},
      {"{\"a\": \"tab\there\"}", "control character"},
      {R"({"a": "\x"})", "unknown escape"},
      {R"({"a": "\u12"})", "four hexadecimal digits"},
      {R"({"a": "open)", "ends inside a string"},
      {R"({"a": "open\)", "ends inside a string"},
  };
  for (const auto& [text, why] : refused) {
    std::string error = errorOf(text);
    EXPECT_EQ(error.rfind("configuration: ", 0), 0u) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
  }
}

TEST(ConfigDocumentTest, ErrorsPointIntoTheTextAsWrittenCommentsIncluded) {
  EXPECT_EQ(errorOf("// a comment with \"quotes\"\n/* and\n a block */ {\"a\": x}"),
            "configuration: row 3, column 19: unexpected 'x' where a value should start");
}

TEST(ConfigDocumentTest, DecodesStringsAsGoDoes) {
  auto value = [](const std::string& literal) {
    ConfigDocument document = ConfigDocument::parse("[" + literal + "]");
    return std::string((*document.root().items().begin()).text());
  };
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(value("\"a\\u0000b\""), std::string("a\0b", 3));
  EXPECT_EQ(value(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(value(R"("\ud800")"), replacement);
  EXPECT_EQ(value(R"("\ud800x")"), replacement + "x");
  EXPECT_EQ(value(R"("\udc00\ud83d\ude00")"), replacement + "\xF0\x9F\x98\x80");
  EXPECT_EQ(value(R"("\ud800\u0041")"), replacement + "A");
  EXPECT_EQ(value(R"("\/\b\f\n\r\t\\\"")"), "/\b\f\n\r\t\\\"");
  // Every byte that starts no valid UTF-8 becomes one U+FFFD.
  EXPECT_EQ(value("\"\xFF\""), replacement);
  EXPECT_EQ(value("\"\xE2\x82x\""), replacement + replacement + "x");
  EXPECT_EQ(value("\"\xC0\xAF\""), replacement + replacement);
  EXPECT_EQ(value("\"\xED\xA0\x80\""), replacement + replacement + replacement);
  EXPECT_EQ(value("\"\xF4\x90\x80\x80\""), replacement + replacement + replacement + replacement);
  EXPECT_EQ(value("\"\xE2\x82\xAC\xEF\xBF\xBD\""), "\xE2\x82\xAC\xEF\xBF\xBD");
}

TEST(ConfigDocumentTest, KeepsEveryMemberInOrderWithItsSpelling) {
  ConfigDocument document =
      ConfigDocument::parse(R"({"log": {"output": "a"}, "p\u0061th": 1, "LOG": null, "log": 2})");
  std::vector<std::string> keys;
  for (ConfigMember member : document.root().members()) {
    keys.emplace_back(member.key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"log", "path", "LOG", "log"}));
  EXPECT_EQ(document.root().size(), 4u);
  EXPECT_EQ(document.root().toJson(), json({{"log", 2}, {"path", 1}, {"LOG", nullptr}}));
}

TEST(ConfigDocumentTest, FoldsKeysWithGoSimpleFolding) {
  EXPECT_EQ(foldOptionKey("External_Controller"), "external_controller");
  EXPECT_EQ(foldOptionKey("\xE2\x84\xAA"
                          "ey_path"),
            "key_path");  // Kelvin sign
  EXPECT_EQ(foldOptionKey("rule_\xC5\xBF"
                          "et"),
            "rule_set");  // long s
  EXPECT_EQ(foldOptionKey("\xC3\x89t\xC3\xA9"), "\xC3\x89t\xC3\xA9");
  EXPECT_EQ(effectiveOf("{\"LOG\": {\"OutPut\": \"x\"}, \"\xC5\xBF\": 1}"),
            json({{"log", {{"output", "x"}}}, {"s", 1}}));
}

TEST(ConfigDocumentTest, EffectiveViewDecodesRepeatedKeysAsGoDoes) {
  // Objects merge; a later scalar replaces; null resets objects and arrays
  // but leaves scalars.
  EXPECT_EQ(effectiveOf(R"({"log": {"output": "a", "level": "info"}, "Log": {"level": "warn"}})"),
            json({{"log", {{"output", "a"}, {"level", "warn"}}}}));
  EXPECT_EQ(effectiveOf(R"({"log": {"output": "a"}, "log": null, "log": {"level": "b"}})"),
            json({{"log", {{"level", "b"}}}}));
  EXPECT_EQ(effectiveOf(R"({"a": "x", "a": null, "b": [1], "b": null})"),
            json({{"a", "x"}, {"b", nullptr}}));
  // An array replaces an array, decoding object items into the earlier
  // items at the same index.
  EXPECT_EQ(effectiveOf(R"({"a": [{"x": 1}, {"y": 2}], "a": [{"z": 3}], "b": [1, 2], "b": [3]})"),
            json({{"a", {{{"x", 1}, {"z", 3}}}}, {"b", {3}}}));

  ConfigDocument document = ConfigDocument::parse(
      R"({"experimental": {"clash_api": {"external_controller": "127.0.0.1:1", "secret": "s"}},
          "EXPERIMENTAL": {"clash_api": {"external_controller": "127.0.0.1:2"}, "x": [1]}})");
  EXPECT_EQ(document.effectiveAt({"experimental", "clash_api"}),
            json({{"external_controller", "127.0.0.1:2"}, {"secret", "s"}}));
  EXPECT_EQ(document.effectiveAt({"experimental", "clash_api", "secret"}), "s");
  EXPECT_EQ(document.effectiveAt({"experimental", "cache_file"}), json());
  EXPECT_EQ(document.effectiveAt({"route"}), json());
}

TEST(ConfigDocumentTest, RefusesNestingDeeperThanTheLimit) {
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) {
      text += i % 2 == 0 ? "{\"a\":" : "[";
    }
    text += "1";
    for (int i = depth - 1; i >= 0; --i) {
      text += i % 2 == 0 ? "}" : "]";
    }
    return text;
  };
  EXPECT_NO_THROW(ConfigDocument::parse(nested(kMaxConfigDepth)));
  EXPECT_NE(errorOf(nested(kMaxConfigDepth + 1)).find("nested deeper than 64 levels"),
            std::string::npos);
  // Deep text is refused before anything is built, however long it is.
  EXPECT_NE(errorOf(std::string(1000000, '[')).find("nested deeper"), std::string::npos);
}

}  // namespace
}  // namespace tarq
