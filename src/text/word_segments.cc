#include "word_segments.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

namespace vurel::text {
namespace {

// The root locale's rules serve every language: ICU picks its dictionaries
// (CJK, Thai, Lao, Khmer, Burmese) by script, and the only other variants
// near our languages, Finnish and Swedish, differ in keeping a colon inside
// a word (EU:s), which a caller can rejoin from the segments.
struct Prototype {
  Prototype() {
    iterator.reset(icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) iterator.reset();
  }
  std::unique_ptr<icu::BreakIterator> iterator;
  UErrorCode status = U_ZERO_ERROR;
  // Cloning only reads the prototype, but ICU promises nothing about
  // concurrent clones of one iterator, and a clone costs far less than the
  // text it will split.
  std::mutex clone_mutex;
};

Prototype &SharedPrototype() {
  static Prototype prototype;
  return prototype;
}

SegmentKind KindOfStatus(std::int32_t status) {
  if (status >= UBRK_WORD_IDEO && status < UBRK_WORD_IDEO_LIMIT) return SegmentKind::kIdeographic;
  if (status >= UBRK_WORD_KANA && status < UBRK_WORD_KANA_LIMIT) return SegmentKind::kKana;
  if (status >= UBRK_WORD_LETTER && status < UBRK_WORD_LETTER_LIMIT) return SegmentKind::kLetter;
  if (status >= UBRK_WORD_NUMBER && status < UBRK_WORD_NUMBER_LIMIT) return SegmentKind::kNumber;
  return SegmentKind::kOther;
}

// The byte offset of the first ill-formed sequence, or the size when none is.
std::size_t FirstInvalidByte(std::string_view utf8) {
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(utf8.data());
  const auto length = static_cast<std::int64_t>(utf8.size());
  std::int64_t offset = 0;
  while (offset < length) {
    const std::int64_t start = offset;
    UChar32 code_point = 0;
    U8_NEXT(bytes, offset, length, code_point);
    if (code_point < 0) return static_cast<std::size_t>(start);
  }
  return utf8.size();
}

}  // namespace

WordSegmenter::WordSegmenter(std::unique_ptr<icu::BreakIterator> iterator)
    : iterator_(std::move(iterator)) {}
WordSegmenter::WordSegmenter(WordSegmenter &&) noexcept = default;
WordSegmenter &WordSegmenter::operator=(WordSegmenter &&) noexcept = default;
WordSegmenter::~WordSegmenter() = default;

Result<WordSegmenter> WordSegmenter::Create() {
  Prototype &prototype = SharedPrototype();
  if (!prototype.iterator) {
    return InternalError(std::string("ICU cannot build its word break rules: ") +
                         u_errorName(prototype.status));
  }
  std::unique_ptr<icu::BreakIterator> clone;
  {
    std::lock_guard<std::mutex> lock(prototype.clone_mutex);
    clone.reset(prototype.iterator->clone());
  }
  if (!clone) return InternalError("out of memory while cloning ICU's word break iterator");
  return WordSegmenter(std::move(clone));
}

Result<std::vector<WordSegment>> WordSegmenter::Split(std::string_view utf8) {
  // The iterator's boundaries are 32-bit offsets.
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) {
    return InvalidInput("text of " + std::to_string(utf8.size()) +
                        " bytes is longer than word segmentation takes (2 GiB)");
  }
  if (const std::size_t bad = FirstInvalidByte(utf8); bad != utf8.size()) {
    return InvalidInput("invalid UTF-8 at byte " + std::to_string(bad));
  }
  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status);
  // The iterator keeps a shallow clone of `text`, which reads `utf8` in
  // place; it must let go of both before this function returns.
  struct Release {
    UText *text;
    icu::BreakIterator *iterator;
    ~Release() {
      UErrorCode ignored = U_ZERO_ERROR;
      UText empty = UTEXT_INITIALIZER;
      utext_openUTF8(&empty, "", 0, &ignored);
      iterator->setText(&empty, ignored);
      utext_close(&empty);
      utext_close(text);
    }
  } release{&text, iterator_.get()};
  if (U_SUCCESS(status)) iterator_->setText(&text, status);
  if (U_FAILURE(status)) {
    return InternalError(std::string("ICU cannot read the text: ") + u_errorName(status));
  }

  std::vector<WordSegment> segments;
  std::size_t byte = 0;
  std::size_t code_point = 0;
  iterator_->first();
  for (std::int32_t boundary = iterator_->next(); boundary != icu::BreakIterator::DONE;
       boundary = iterator_->next()) {
    const std::size_t end_byte = static_cast<std::size_t>(boundary);
    const std::size_t start = code_point;
    // Counting lead bytes counts code points: the text is well formed.
    for (; byte < end_byte; ++byte) {
      if ((static_cast<unsigned char>(utf8[byte]) & 0xC0) != 0x80) ++code_point;
    }
    segments.push_back({start, code_point, KindOfStatus(iterator_->getRuleStatus())});
  }
  return segments;
}

Result<std::vector<WordSegment>> SplitWords(std::string_view utf8) {
  Result<WordSegmenter> segmenter = WordSegmenter::Create();
  if (!segmenter.ok()) return segmenter.error();
  return segmenter->Split(utf8);
}

}  // namespace vurel::text
