#include "dictionary.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

namespace vurel::train {
namespace {

// Length of the UTF-8 sequence starting at `text[pos]`, or 0 when it is not
// a valid, shortest-form encoding of a scalar value.
std::size_t CodePointLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(pos);
  std::size_t length;
  std::uint32_t value;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(pos + i) & 0x3F);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
      value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string_view> SplitBlanks(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    std::size_t end = pos;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    if (end > pos) tokens.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return tokens;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// "WORD(2)" -> "WORD"; a word that is only a marker keeps it.
std::string_view StripVariantMarker(std::string_view word) {
  if (word.size() < 4 || word.back() != ')') return word;
  const std::size_t open = word.rfind('(');
  if (open == std::string_view::npos || open == 0 || open + 2 >= word.size()) {
    return word;
  }
  for (std::size_t i = open + 1; i + 1 < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return word;
  }
  return word.substr(0, open);
}

bool HasReservedText(std::string_view text) {
  return text.find('|') != std::string_view::npos ||
         text.find('_') != std::string_view::npos;
}

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

std::string StripDigits(std::string_view phoneme) {
  std::string stripped;
  for (char c : phoneme) {
    if (c < '0' || c > '9') stripped.push_back(c);
  }
  return stripped;
}

// Parses one line; an empty `reason` with no entry means a comment or
// blank line.
struct LineResult {
  bool has_entry = false;
  DictionaryEntry entry;
  std::string reason;
};

LineResult ParseLine(std::string_view line, const DictionaryOptions &options) {
  LineResult result;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > options.max_line_bytes) {
    result.reason = "line longer than " +
                    std::to_string(options.max_line_bytes) + " bytes";
    return result;
  }
  std::vector<std::string> ignored;
  if (!SplitCodePoints(line, ignored)) {
    result.reason = "not valid UTF-8";
    return result;
  }
  if (TrimBlanks(line).empty()) return result;

  const bool tsv = options.format == DictionaryFormat::kTsv ||
                   (options.format == DictionaryFormat::kAuto &&
                    line.find('\t') != std::string_view::npos);
  std::string_view word;
  std::vector<std::string_view> phonemes;
  if (tsv) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
      result.reason = "no tab between word and pronunciation";
      return result;
    }
    word = TrimBlanks(line.substr(0, tab));
    phonemes = SplitBlanks(line.substr(tab + 1));
  } else {
    if (line.starts_with(";;;")) return result;
    std::vector<std::string_view> tokens = SplitBlanks(line);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i].starts_with('#')) {
        tokens.resize(i);
        break;
      }
    }
    if (tokens.empty()) return result;
    word = StripVariantMarker(tokens.front());
    phonemes.assign(tokens.begin() + 1, tokens.end());
  }
  if (word.empty()) {
    result.reason = "empty word";
    return result;
  }
  if (phonemes.empty()) {
    result.reason = "word \"" + std::string(word) + "\" has no phonemes";
    return result;
  }
  if (HasControlCharacter(word)) {
    result.reason = "control character in word";
    return result;
  }
  if (HasReservedText(word)) {
    result.reason = "word \"" + std::string(word) +
                    "\" contains \"|\" or \"_\", which models reserve";
    return result;
  }
  DictionaryEntry &entry = result.entry;
  entry.word = std::string(word);
  SplitCodePoints(word, entry.graphemes);
  for (std::string_view phoneme : phonemes) {
    if (HasReservedText(phoneme)) {
      result.reason = "phoneme \"" + std::string(phoneme) +
                      "\" contains \"|\" or \"_\", which models reserve";
      return result;
    }
    entry.phonemes.push_back(options.strip_stress ? StripDigits(phoneme)
                                                  : std::string(phoneme));
    if (entry.phonemes.back().empty()) {
      result.reason = "phoneme \"" + std::string(phoneme) +
                      "\" is only stress digits";
      return result;
    }
  }
  result.has_entry = true;
  return result;
}

}  // namespace

bool SplitCodePoints(std::string_view text, std::vector<std::string> &out) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t length = CodePointLength(text, pos);
    if (length == 0) return false;
    out.emplace_back(text.substr(pos, length));
    pos += length;
  }
  return true;
}

Result<Dictionary> ParseDictionary(std::string_view text, std::string_view name,
                                   const DictionaryOptions &options) {
  Dictionary dictionary;
  std::set<std::pair<std::string, std::vector<std::string>>> seen;
  std::size_t line_number = 0;
  std::size_t pos = 0;
  // The automatic format holds from the first entry on: in a tab-separated
  // file, a line without a tab is a mistake, not a CMU entry.
  DictionaryOptions line_options = options;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    ++line_number;
    const std::string_view line = text.substr(pos, end - pos);
    LineResult parsed = ParseLine(line, line_options);
    pos = end + 1;
    if (parsed.has_entry && line_options.format == DictionaryFormat::kAuto) {
      line_options.format = line.find('\t') != std::string_view::npos
                                ? DictionaryFormat::kTsv
                                : DictionaryFormat::kCmu;
    }
    if (!parsed.reason.empty()) {
      if (!options.skip_malformed) {
        return InvalidInput(std::string(name) + ":" +
                            std::to_string(line_number) + ": " + parsed.reason);
      }
      dictionary.skipped.push_back({line_number, std::move(parsed.reason)});
      continue;
    }
    if (!parsed.has_entry) continue;
    parsed.entry.line = line_number;
    if (!seen.emplace(parsed.entry.word, parsed.entry.phonemes).second) {
      ++dictionary.duplicates;
      continue;
    }
    dictionary.entries.push_back(std::move(parsed.entry));
  }
  return dictionary;
}

Result<Dictionary> ReadDictionary(const std::string &path,
                                  const DictionaryOptions &options) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return InvalidInput("cannot open dictionary " + path);
  std::string text((std::istreambuf_iterator<char>(file)),
                   std::istreambuf_iterator<char>());
  if (file.bad()) return InvalidInput("cannot read dictionary " + path);
  return ParseDictionary(text, path, options);
}

}  // namespace vurel::train
