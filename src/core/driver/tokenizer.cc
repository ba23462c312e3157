#include "driver/tokenizer.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/utf8.h"

namespace vurel {

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
