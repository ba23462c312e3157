// Word segments of UTF-8 text by the Unicode word-boundary rules (UAX #29),
// as ICU's word break iterator finds them, with code-point offsets.
//
// ICU builds the rules once per process (the first WordSegmenter pays for
// it); every WordSegmenter is a clone of that prototype, cheap to make, and
// belongs to one thread at a time: a break iterator keeps its position in
// the text, so two threads must never share one.
#ifndef VUREL_TEXT_WORD_SEGMENTS_H_
#define VUREL_TEXT_WORD_SEGMENTS_H_

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

#include "result.h"

// ICU's namespace is versioned; its macros name it.
U_NAMESPACE_BEGIN
class BreakIterator;
U_NAMESPACE_END

namespace vurel::text {

// What a segment holds, from ICU's rule status of the boundary that ends it.
enum class SegmentKind : int {
  kOther = 0,        // spaces, punctuation, symbols, emoji
  kNumber = 1,       // digits, with the marks between them (1,234.5)
  kLetter = 2,       // letters of alphabets and abjads, with inner ' and .
  kKana = 3,         // kana split by the rules (ICU 72 splits kana by its
                     // CJK dictionary, and its words are kIdeographic)
  kIdeographic = 4,  // Han and kana words, as ICU's CJK dictionary groups them
};

// Code points [start, end) of the input; segments tile it in order.
struct WordSegment {
  std::size_t start = 0;
  std::size_t end = 0;
  SegmentKind kind = SegmentKind::kOther;
};

class WordSegmenter {
 public:
  // Fails only when ICU's break rules cannot be loaded.
  static Result<WordSegmenter> Create();

  WordSegmenter(WordSegmenter &&) noexcept;
  WordSegmenter &operator=(WordSegmenter &&) noexcept;
  ~WordSegmenter();

  // The segments of `utf8`, in order; empty for empty text. Invalid UTF-8
  // is an error naming the byte offset, and so is text of 2 GiB or more.
  // Time and memory are linear in the text: the iterator reads the UTF-8
  // in place, without a UTF-16 copy.
  Result<std::vector<WordSegment>> Split(std::string_view utf8);

 private:
  explicit WordSegmenter(std::unique_ptr<icu::BreakIterator> iterator);
  std::unique_ptr<icu::BreakIterator> iterator_;
};

// Split() on a WordSegmenter of its own, for a caller that segments once.
Result<std::vector<WordSegment>> SplitWords(std::string_view utf8);

}  // namespace vurel::text

#endif  // VUREL_TEXT_WORD_SEGMENTS_H_
