// Pronunciation dictionaries: the CMU format and tab-separated files.
#ifndef VUREL_TRAIN_DICTIONARY_H_
#define VUREL_TRAIN_DICTIONARY_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vurel::train {

enum class DictionaryFormat {
  kAuto,  // the first entry's: tab-separated when it has a tab, else CMU
  kCmu,   // "WORD  P1 P2 ...", variants "WORD(2)", ";;;" comment lines,
          // and a "#" token starting a comment to the end of the line
  kTsv,   // "word<TAB>p1 p2 ..."
};

struct DictionaryOptions {
  DictionaryFormat format = DictionaryFormat::kAuto;
  // Skip malformed lines and list them in `Dictionary::skipped` instead of
  // failing at the first one.
  bool skip_malformed = false;
  // Lines longer than this are malformed (no pronunciation is that long).
  std::size_t max_line_bytes = 4096;
  // Remove the digits (stress marks) from every phoneme, then merge the
  // variants that become equal.
  bool strip_stress = false;
};

struct DictionaryEntry {
  std::string word;                    // without a variant marker
  std::vector<std::string> graphemes;  // the word's code points, in order
  std::vector<std::string> phonemes;   // never empty
  std::size_t line = 0;                // 1-based line in the source
};

struct SkippedLine {
  std::size_t line = 0;
  std::string reason;
};

struct Dictionary {
  std::vector<DictionaryEntry> entries;  // in file order
  std::vector<SkippedLine> skipped;      // malformed lines, when skipping
  std::size_t duplicates = 0;            // repeated word and pronunciation, dropped
};

// Reads the dictionary at `path`. Fails with kInvalidInput naming the file
// and line ("FILE:LINE: reason") at the first malformed line unless
// `skip_malformed` is set, or with the file's name when it cannot be read.
// Words and phonemes must be valid UTF-8 and may not contain the texts "|"
// or "_", which models reserve for the tie and the empty side.
Result<Dictionary> ReadDictionary(const std::string &path,
                                  const DictionaryOptions &options);

// Same as ReadDictionary for text already in memory; `name` stands for the
// file in messages.
Result<Dictionary> ParseDictionary(std::string_view text, std::string_view name,
                                   const DictionaryOptions &options);

// Appends the code points of `text` to `out` as separate strings; false
// (with `out` unspecified) when `text` is not valid UTF-8.
bool SplitCodePoints(std::string_view text, std::vector<std::string> &out);

}  // namespace vurel::train

#endif  // VUREL_TRAIN_DICTIONARY_H_
