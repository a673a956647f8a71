// The comments of a sing-box configuration, removed exactly as sing-box
// removes them before it decodes the JSON.
//
// sing-box reads its configuration through a comment filter of its library
// (a byte-level state machine that knows only double- and single-quoted
// strings and backslash escapes) and then decodes what the filter lets
// through. So what the engine sees is the filter's output, not the text, and
// a reader that strips comments any other way can be shown one document while
// the engine runs another. The rules, byte for byte:
//
//   - outside a quoted string, `//` and `#` start a comment that runs up to
//     the next line feed; the line feed stays;
//   - outside a quoted string, `/*` starts a comment that ends at `*/`; it
//     leaves nothing behind but the line feeds inside it, so `1/**/2` reads
//     as `12` and `tr/* */ue` as `true`; an unterminated `/*` swallows the
//     rest of the text;
//   - inside "..." (and '...', which JSON then refuses anyway) nothing is a
//     comment; a backslash passes on with the byte after it, so `\"` does
//     not end the string;
//   - a `/` followed by anything else passes on (JSON refuses it there);
//     a lone `/` at the very end passes on too.
//
// sing-box 1.11 and 1.12 carry an older copy of the filter that differs in
// one case that can matter: inside a block comment, a `*` followed by line
// feeds and then `/` closes the comment there, where the newer copy reads on
// to the next `*/`. A text with that sequence reads as two different
// documents depending on the engine's version, so it is refused.
//
// Thread safety: plain functions of their arguments.
#ifndef TARQ_DAEMON_CORE_CONFIG_COMMENTS_H_
#define TARQ_DAEMON_CORE_CONFIG_COMMENTS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tarq {

// The text as sing-box's decoder receives it. Throws ConfigDocumentError
// (config_document.h) for the comment that engine versions read differently.
std::string stripConfigComments(std::string_view text);

// Where the byte at `strippedOffset` of stripConfigComments(text) came from
// in `text` (text.size() for an offset at or past the end).
size_t offsetBeforeStripping(std::string_view text, size_t strippedOffset);

// "row R, column C" (1-based, columns in bytes) of `offset` in `text`.
std::string describeTextPosition(std::string_view text, size_t offset);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CONFIG_COMMENTS_H_
