#include "config_comments.h"

#include "config_document.h"

namespace tarq {
namespace {

// sing-box's comment filter as a state machine over single bytes. Feed
// calls `emit(byte)` for every byte the decoder receives, in order.
class CommentFilter {
 public:
  // Returns false on the block comment that engine versions end in
  // different places.
  template <typename Emit>
  bool feed(char byte, Emit&& emit) {
    switch (state_) {
      case State::kContent:
        switch (byte) {
          case '"':
            state_ = State::kDoubleQuote;
            emit(byte);
            break;
          case '\'':
            state_ = State::kSingleQuote;
            emit(byte);
            break;
          case '\\':
            state_ = State::kEscape;
            break;
          case '#':
            state_ = State::kLineComment;
            break;
          case '/':
            state_ = State::kSlash;
            break;
          default:
            emit(byte);
        }
        break;
      case State::kEscape:
        state_ = State::kContent;
        emit('\\');
        emit(byte);
        break;
      case State::kDoubleQuote:
      case State::kSingleQuote: {
        const char quote = state_ == State::kDoubleQuote ? '"' : '\'';
        if (byte == quote) {
          state_ = State::kContent;
          emit(byte);
        } else if (byte == '\\') {
          state_ =
              state_ == State::kDoubleQuote ? State::kDoubleQuoteEscape : State::kSingleQuoteEscape;
        } else {
          emit(byte);
        }
        break;
      }
      case State::kDoubleQuoteEscape:
      case State::kSingleQuoteEscape:
        state_ = state_ == State::kDoubleQuoteEscape ? State::kDoubleQuote : State::kSingleQuote;
        emit('\\');
        emit(byte);
        break;
      case State::kLineComment:
        if (byte == '\n') {
          state_ = State::kContent;
          emit(byte);
        }
        break;
      case State::kSlash:
        if (byte == '/') {
          state_ = State::kLineComment;
        } else if (byte == '*') {
          state_ = State::kBlockComment;
          starThenLineFeed_ = false;
        } else {
          state_ = State::kContent;
          emit('/');
          emit(byte);
        }
        break;
      case State::kBlockComment:
        if (byte == '*') {
          state_ = State::kBlockCommentStar;
        } else if (byte == '\n') {
          emit(byte);
        } else if (byte == '/' && starThenLineFeed_) {
          return false;
        } else {
          starThenLineFeed_ = false;
        }
        break;
      case State::kBlockCommentStar:
        if (byte == '/') {
          state_ = State::kContent;
        } else if (byte == '\n') {
          // The older filter stays after the star here, so that a `/` after
          // nothing but line feeds would end the comment for it.
          state_ = State::kBlockComment;
          starThenLineFeed_ = true;
          emit(byte);
        } else if (byte != '*') {
          state_ = State::kBlockComment;
          starThenLineFeed_ = false;
        }
        break;
    }
    return true;
  }

  // The end of the text: a `/` still held back passes on.
  template <typename Emit>
  void finish(Emit&& emit) {
    if (state_ == State::kSlash) {
      state_ = State::kContent;
      emit('/');
    }
  }

 private:
  enum class State {
    kContent,
    kEscape,
    kDoubleQuote,
    kDoubleQuoteEscape,
    kSingleQuote,
    kSingleQuoteEscape,
    kLineComment,
    kSlash,
    kBlockComment,
    kBlockCommentStar,
  };
  State state_ = State::kContent;
  bool starThenLineFeed_ = false;  // in a block comment: `*` and line feeds just passed
};

}  // namespace

std::string stripConfigComments(std::string_view text) {
  std::string stripped;
  stripped.reserve(text.size());
  auto emit = [&](char byte) { stripped.push_back(byte); };
  CommentFilter filter;
  for (size_t offset = 0; offset < text.size(); ++offset) {
    if (!filter.feed(text[offset], emit)) {
      throw ConfigDocumentError(
          "configuration: " + describeTextPosition(text, offset) +
          ": a block comment whose closing '*' and '/' are on different lines, which "
          "sing-box versions read differently; join them as \"*/\"");
    }
  }
  filter.finish(emit);
  return stripped;
}

size_t offsetBeforeStripping(std::string_view text, size_t strippedOffset) {
  size_t emitted = 0;
  size_t found = text.size();
  size_t offset = 0;
  // A byte that passes on with the one after it (an escape) is attributed
  // to the later byte; either is close enough for a person.
  auto emit = [&](char) {
    if (emitted++ == strippedOffset && found == text.size()) {
      found = offset;
    }
  };
  CommentFilter filter;
  for (; offset < text.size() && found == text.size(); ++offset) {
    if (!filter.feed(text[offset], emit)) {
      break;
    }
  }
  if (found == text.size()) {
    offset = text.size() == 0 ? 0 : text.size() - 1;
    filter.finish(emit);
  }
  return found;
}

std::string describeTextPosition(std::string_view text, size_t offset) {
  if (offset > text.size()) {
    offset = text.size();
  }
  size_t row = 1;
  size_t lineStart = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++row;
      lineStart = i + 1;
    }
  }
  return "row " + std::to_string(row) + ", column " + std::to_string(offset - lineStart + 1);
}

}  // namespace tarq
