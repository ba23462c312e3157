#include "tokenizer.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vurel {

std::size_t Utf8CharLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t offset) {
    return static_cast<unsigned char>(text[pos + offset]);
  };
  const unsigned char lead = byte(0);
  std::size_t length;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // beyond U+10FFFF
  } else {
    return 1;
  }
  if (text.size() - pos < length) return 1;
  if (byte(1) < second_min || byte(1) > second_max) return 1;
  for (std::size_t offset = 2; offset < length; ++offset) {
    if (byte(offset) < 0x80 || byte(offset) > 0xBF) return 1;
  }
  return length;
}

namespace {

std::vector<std::string_view> SplitWord(std::string_view word,
                                        std::string_view delimiter) {
  std::vector<std::string_view> pieces;
  if (delimiter.empty()) {
    pieces.reserve(word.size());
    for (std::size_t pos = 0; pos < word.size();) {
      const std::size_t length = Utf8CharLength(word, pos);
      pieces.push_back(word.substr(pos, length));
      pos += length;
    }
    return pieces;
  }
  // Pieces are the runs between delimiter characters, so they are views of
  // the word rather than texts assembled character by character.
  std::size_t piece_start = 0;
  for (std::size_t pos = 0; pos < word.size();) {
    const std::size_t length = Utf8CharLength(word, pos);
    if (word.substr(pos, length) == delimiter) {
      pieces.push_back(word.substr(piece_start, pos - piece_start));
      piece_start = pos + length;
    }
    pos += length;
  }
  pieces.push_back(word.substr(piece_start));
  return pieces;
}

// Writes all of `text` to `fd`, retrying after interruptions and partial
// writes. A descriptor that refuses the message is given up on silently:
// the report is a courtesy and must not fail decoding.
void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (written == 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ReportUnknownPiece(int fd, std::string_view piece) {
  static constexpr std::string_view kBefore = "Symbol: '";
  static constexpr std::string_view kAfter =
      "' not found in input symbols table.\nMapping to null...\n";
  std::string message;
  message.reserve(kBefore.size() + piece.size() + kAfter.size());
  message.append(kBefore).append(piece).append(kAfter);
  WriteAll(fd, message);
}

}  // namespace

std::vector<Label> Tokenize(std::string_view word, std::string_view delimiter,
                            const fst::SymbolTable &input_symbols,
                            int report_fd) {
  const std::vector<std::string_view> pieces = SplitWord(word, delimiter);
  std::vector<Label> labels;
  labels.reserve(pieces.size());
  std::string key;
  for (const std::string_view piece : pieces) {
    key.assign(piece);
    const std::int64_t label = input_symbols.Find(key);
    if (label >= 0) {
      labels.push_back(static_cast<Label>(label));
    } else {
      ReportUnknownPiece(report_fd, piece);
    }
  }
  return labels;
}

}  // namespace vurel
