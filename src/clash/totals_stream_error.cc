#include "clash/totals_stream_error.h"

namespace tarq {

const char* TotalsStreamError::what() const noexcept {
  switch (kind_) {
    case Kind::empty:
      return "Empty: no JSON found";
    case Kind::structure:
      return "The JSON document has an improper structure: missing or superfluous commas, braces, "
             "missing keys, etc.";
    case Kind::depth:
      return "The JSON document was too deep (too many nested objects and arrays)";
    case Kind::string:
      return "Problem while parsing a string";
    case Kind::trueLiteral:
      return "Problem while parsing an atom starting with the letter 't'";
    case Kind::falseLiteral:
      return "Problem while parsing an atom starting with the letter 'f'";
    case Kind::nullLiteral:
      return "Problem while parsing an atom starting with the letter 'n'";
    case Kind::number:
      return "Problem while parsing a number";
    case Kind::utf8:
      return "The input is not valid UTF-8";
    case Kind::unclosedString:
      return "A string is opened, but never closed.";
    case Kind::unescapedChars:
      return "Within strings, some characters must be escaped, we found unescaped characters";
    case Kind::notObjectOrArray:
      return "The JSON element does not have the requested type.";
    case Kind::trailingContent:
      return "Unexpected trailing content in the JSON input.";
  }
  return "unknown error";
}

}  // namespace tarq
