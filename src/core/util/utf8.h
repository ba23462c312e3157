// UTF-8 well-formedness, shared by the file reader and the tokenizer.
#ifndef VUREL_CORE_UTF8_H_
#define VUREL_CORE_UTF8_H_

#include <cstddef>
#include <string_view>

namespace vurel {

// Length of the well-formed UTF-8 sequence that starts at byte `pos` of
// `text` (pos < text.size()), or 0 if the bytes there are not one: overlong
// forms, surrogates, code points above U+10FFFF and truncated sequences are
// not. Hand-written because the standard library has no validator.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);

// Length of the character that starts at byte `pos`: the sequence's length
// when it is well formed, else 1, so that every byte that is not valid
// UTF-8 counts as a character of its own.
inline std::size_t Utf8CharLength(std::string_view text, std::size_t pos) {
  const std::size_t length = Utf8SequenceLength(text, pos);
  return length == 0 ? 1 : length;
}

bool IsValidUtf8(std::string_view text);

}  // namespace vurel

#endif  // VUREL_CORE_UTF8_H_
