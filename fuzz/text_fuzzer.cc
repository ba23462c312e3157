// libFuzzer target: the text layer's C++ part on any bytes. The first byte
// picks what is fuzzed:
// - even: the rest is text for the word segmenter. Invalid UTF-8 must be an
//   error; valid text must give segments that tile it, in order, in code
//   points.
// - odd: the next bytes pick a language and one of its rule sets, and the
//   rest is a number for its speller, as given (malformed numbers must be
//   errors) or, when the byte says so, made into the grammar the speller
//   takes (so that the rules themselves are reached, past 10^18 too).
//   A number spelled must give a non-empty text of valid UTF-8.
// A broken promise aborts the run as a finding.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "number_spelling.h"
#include "word_segments.h"

namespace {

constexpr std::array<std::string_view, 15> kLanguages = {"ar", "ca", "cs", "de", "en", "es", "fa", "fr",
                                                         "it", "lb", "nl", "pt", "ru", "sv", "sw"};

// Code points of valid UTF-8: the bytes that do not continue a sequence.
std::size_t CodePoints(std::string_view utf8) {
  std::size_t count = 0;
  for (const unsigned char byte : utf8) count += (byte & 0xC0) != 0x80;
  return count;
}

bool ValidUtf8(std::string_view text) {
  std::size_t index = 0;
  while (index < text.size()) {
    const unsigned char lead = text[index];
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || index + length > text.size()) return false;
    for (std::size_t next = 1; next < length; ++next) {
      if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80) return false;
    }
    index += length;
  }
  return true;
}

void Segment(std::string_view text) {
  static std::optional<vurel::text::WordSegmenter> segmenter;
  if (!segmenter) {
    auto created = vurel::text::WordSegmenter::Create();
    if (!created) std::abort();
    segmenter.emplace(std::move(created).value());
  }
  const auto segments = segmenter->Split(text);
  if (!segments) return;
  if (!ValidUtf8(text)) std::abort();
  std::size_t position = 0;
  for (const auto &segment : *segments) {
    if (segment.start != position || segment.end <= segment.start) std::abort();
    position = segment.end;
  }
  if (position != CodePoints(text)) std::abort();
}

// The speller's grammar from any bytes: a sign, digits, and a fraction.
std::string AsNumber(std::string_view bytes) {
  std::string number;
  if (!bytes.empty() && (bytes.front() & 1)) number += '-';
  bool point = false;
  for (std::size_t index = 1; index < bytes.size(); ++index) {
    const unsigned char byte = bytes[index];
    if (byte == '.' && !point && index > 1 && index + 1 < bytes.size()) {
      number += '.';
      point = true;
    } else {
      number += static_cast<char>('0' + byte % 10);
    }
  }
  if (number.empty() || number.back() == '-') number += '0';
  return number;
}

void Spell(const std::uint8_t *data, std::size_t size) {
  static std::vector<vurel::text::NumberSpeller> spellers = [] {
    std::vector<vurel::text::NumberSpeller> made;
    for (const auto language : kLanguages) {
      auto speller = vurel::text::NumberSpeller::Create(language);
      if (!speller) std::abort();
      made.push_back(std::move(speller).value());
    }
    return made;
  }();
  if (size < 3) return;
  const auto &speller = spellers[data[0] % spellers.size()];
  const auto &rule_set = speller.rule_sets()[data[1] % speller.rule_sets().size()];
  const std::string_view rest(reinterpret_cast<const char *>(data + 3), size - 3);
  const std::string number = (data[2] & 1) ? AsNumber(rest) : std::string(rest);
  const auto spelled = speller.Spell(number, rule_set);
  if (spelled && (spelled->empty() || !ValidUtf8(*spelled))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    Segment(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1));
  } else {
    Spell(data + 1, size - 1);
  }
  return 0;
}
