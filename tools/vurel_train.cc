// vurel-train: trains a model from a pronunciation dictionary, or measures
// a model's error rates on one. A thin front end over the vurel_train
// library; the exit status is 0 on success, 1 on failure, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary.h"
#include "evaluation.h"
#include "model/model.h"
#include "trainer.h"

namespace {

using namespace vurel::train;

constexpr char kUsage[] =
    "usage: vurel-train train DICT MODEL [options]\n"
    "       vurel-train evaluate MODEL DICT [options]\n"
    "       vurel-train align DICT OUTPUT [options]   (alignment only)\n"
    "dictionary options:\n"
    "  --format auto|cmu|tsv   dictionary format (default auto)\n"
    "  --skip-malformed        skip and count malformed lines\n"
    "  --strip-stress          remove stress digits from phonemes\n"
    "training options:\n"
    "  --order N               n-gram order (default 9)\n"
    "  --smoothing kn|wb       Kneser-Ney or Witten-Bell (default kn)\n"
    "  --max-letters N         letters per alignment step, 1-2 (default 1)\n"
    "  --max-phonemes N        phonemes per alignment step, 0-2 (default 1)\n"
    "  --insertions            allow phonemes without letters (default)\n"
    "  --no-insertions         forbid phonemes without letters\n"
    "  --no-deletions          forbid letters without phonemes\n"
    "  --many-to-many          allow steps of 2 letters with 2 phonemes\n"
    "  --iterations N          most EM iterations (default 30)\n"
    "  --alternatives N        segmentations counted per entry, 1-64, each by\n"
    "                          its share of their probability (default 1)\n"
    "  --align-stress          let stress digits take part in the alignment\n"
    "                          (by default they are ignored while aligning)\n"
    "  --primary-stress auto|one|any\n"
    "                          one: every pronunciation gets exactly one\n"
    "                          primary stress (a phoneme ending in 1); auto\n"
    "                          (default): one when 95% of the entries have one\n"
    "  --quiet                 no progress messages\n"
    "evaluation options:\n"
    "  --errors                list the words decoded wrongly\n"
    "  --json                  print the report as JSON\n";

struct Arguments {
  std::vector<std::string> positional;
  DictionaryOptions dictionary;
  TrainOptions train;
  bool quiet = false;
  bool list_errors = false;
  bool json = false;
};

bool ParseInt(const char *text, int low, int high, int &out) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseArguments(int argc, char **argv, Arguments &args) {
  for (int i = 2; i < argc; ++i) {
    const std::string_view flag = argv[i];
    const bool has_value = i + 1 < argc;
    if (flag == "--format" && has_value) {
      const auto format = ValueNamed<DictionaryFormat>(kDictionaryFormatNames, argv[++i]);
      if (!format) return false;
      args.dictionary.format = *format;
    } else if (flag == "--skip-malformed") {
      args.dictionary.skip_malformed = true;
    } else if (flag == "--strip-stress") {
      args.dictionary.strip_stress = true;
    } else if (flag == "--order" && has_value) {
      if (!ParseInt(argv[++i], 1, 20, args.train.ngram.order)) return false;
    } else if (flag == "--smoothing" && has_value) {
      const auto smoothing = ValueNamed<Smoothing>(kSmoothingNames, argv[++i]);
      if (!smoothing) return false;
      args.train.ngram.smoothing = *smoothing;
    } else if (flag == "--max-letters" && has_value) {
      if (!ParseInt(argv[++i], 1, 2, args.train.aligner.max_graphemes)) return false;
    } else if (flag == "--max-phonemes" && has_value) {
      if (!ParseInt(argv[++i], 0, 2, args.train.aligner.max_phonemes)) return false;
    } else if (flag == "--insertions") {
      args.train.aligner.allow_insertions = true;
    } else if (flag == "--no-insertions") {
      args.train.aligner.allow_insertions = false;
    } else if (flag == "--no-deletions") {
      args.train.aligner.allow_deletions = false;
    } else if (flag == "--many-to-many") {
      args.train.aligner.allow_many_to_many = true;
    } else if (flag == "--alternatives" && has_value) {
      if (!ParseInt(argv[++i], 1, 64, args.train.aligner.alternatives)) return false;
    } else if (flag == "--iterations" && has_value) {
      if (!ParseInt(argv[++i], 1, 1000, args.train.aligner.max_iterations)) return false;
    } else if (flag == "--primary-stress" && has_value) {
      const auto rule = ValueNamed<PrimaryStress>(kPrimaryStressNames, argv[++i]);
      if (!rule) return false;
      args.train.primary_stress = *rule;
    } else if (flag == "--align-stress") {
      args.train.aligner.ignore_stress = false;
    } else if (flag == "--quiet") {
      args.quiet = true;
    } else if (flag == "--errors") {
      args.list_errors = true;
    } else if (flag == "--json") {
      args.json = true;
    } else if (flag.starts_with("--")) {
      return false;
    } else {
      args.positional.emplace_back(flag);
    }
  }
  return args.positional.size() == 2;
}

std::string Join(const std::vector<std::string> &phonemes) {
  std::string text;
  for (const auto &phoneme : phonemes) {
    if (!text.empty()) text += ' ';
    text += phoneme;
  }
  return text;
}

std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

void ReportSkipped(const Dictionary &dictionary, const std::string &path) {
  for (const SkippedLine &line : dictionary.skipped) {
    std::cerr << path << ":" << line.line << ": skipped: " << line.reason << "\n";
  }
  if (!dictionary.skipped.empty() || dictionary.duplicates != 0) {
    std::cerr << path << ": " << dictionary.skipped.size()
              << " malformed lines skipped, " << dictionary.duplicates
              << " duplicate entries dropped\n";
  }
}

// Reads the dictionary at `path`, reporting a failure or skipped lines on
// standard error; nullopt when it cannot be read.
std::optional<Dictionary> LoadDictionary(const std::string &path,
                                         const Arguments &args) {
  vurel::Result<Dictionary> dictionary = ReadDictionary(path, args.dictionary);
  if (!dictionary.ok()) {
    std::cerr << "vurel-train: " << dictionary.error().message << "\n";
    return std::nullopt;
  }
  ReportSkipped(*dictionary, path);
  return std::move(dictionary).value();
}

int Train(const Arguments &args) {
  const std::string &dictionary_path = args.positional[0];
  const std::string &model_path = args.positional[1];
  if (vurel::Status status = CheckModelPath(dictionary_path, model_path); !status.ok()) {
    std::cerr << "vurel-train: " << status.error().message << "\n";
    return 1;
  }
  std::optional<Dictionary> dictionary =
      LoadDictionary(dictionary_path, args);
  if (!dictionary) return 1;
  ProgressCallback progress;
  if (!args.quiet) {
    progress = [](const std::string &message) {
      std::cerr << "vurel-train: " << message << "\n";
      return true;
    };
  }
  vurel::Result<TrainReport> report =
      TrainModel(*dictionary, args.train, model_path, progress);
  if (!report.ok()) {
    std::cerr << "vurel-train: " << report.error().message << "\n";
    return 1;
  }
  const TrainReport &r = *report;
  if (args.json) {
    std::cout << "{\"entries\": " << r.entries
              << ", \"skipped_lines\": " << dictionary->skipped.size()
              << ", \"duplicates\": " << dictionary->duplicates
              << ", \"unalignable\": " << r.unalignable
              << ", \"alignment_iterations\": " << r.alignment_iterations
              << ", \"units\": " << r.units << ", \"ngrams\": " << r.ngrams
              << ", \"one_primary_stress\": " << (r.one_primary_stress ? "true" : "false")
              << ", \"one_primary_stress_share\": " << r.one_primary_stress_share
              << ", \"states\": " << r.model.states
              << ", \"arcs\": " << r.model.arcs
              << ", \"bytes\": " << r.model.bytes
              << ", \"seconds\": " << r.seconds << "}\n";
  } else {
    std::cout << "entries: " << r.entries << " (" << r.unalignable
              << " not alignable, " << dictionary->skipped.size()
              << " lines skipped, " << dictionary->duplicates
              << " duplicates)\n"
              << "units: " << r.units << ", n-grams: " << r.ngrams << "\n"
              << "one primary stress per word: "
              << (r.one_primary_stress ? "yes" : "no") << " ("
              << 100 * r.one_primary_stress_share << "% of the entries have one)\n"
              << "model: " << r.model.states << " states, " << r.model.arcs
              << " arcs, " << r.model.bytes << " bytes\n"
              << "time: " << r.seconds << " s\n";
  }
  return 0;
}

// Writes each aligned entry as "word<TAB>letters}phonemes ..." for
// inspecting the aligner's choices.
int AlignOnly(const Arguments &args) {
  const std::string &dictionary_path = args.positional[0];
  std::optional<Dictionary> dictionary =
      LoadDictionary(dictionary_path, args);
  if (!dictionary) return 1;
  vurel::Result<Alignment> alignment =
      Align(dictionary->entries, args.train.aligner);
  if (!alignment.ok()) {
    std::cerr << "vurel-train: " << alignment.error().message << "\n";
    return 1;
  }
  std::ofstream out(args.positional[1]);
  for (std::size_t s = 0; s < alignment->sequences.size(); ++s) {
    out << dictionary->entries[alignment->entry_index[s]].word << "\t";
    for (std::size_t t = 0; t < alignment->sequences[s].size(); ++t) {
      const JointUnit &unit = alignment->units[alignment->sequences[s][t]];
      out << (t ? " " : "") << GraphemeText(unit) << "}" << PhonemeText(unit);
    }
    if (args.train.aligner.alternatives > 1) out << "\t" << alignment->shares[s];
    out << "\n";
  }
  for (std::size_t index : alignment->unalignable) {
    std::cerr << dictionary_path << ":" << dictionary->entries[index].line
              << ": cannot be aligned\n";
  }
  if (!out) {
    std::cerr << "vurel-train: cannot write " << args.positional[1] << "\n";
    return 1;
  }
  return 0;
}

int EvaluateModel(const Arguments &args) {
  const std::string &model_path = args.positional[0];
  const std::string &dictionary_path = args.positional[1];
  vurel::Result<vurel::Model> model = vurel::Model::Load(model_path, "");
  if (!model.ok()) {
    std::cerr << "vurel-train: " << model.error().message << "\n";
    return 1;
  }
  std::optional<Dictionary> dictionary =
      LoadDictionary(dictionary_path, args);
  if (!dictionary) return 1;
  if (vurel::Status evaluable = CheckEvaluable(*dictionary); !evaluable.ok()) {
    std::cerr << "vurel-train: " << evaluable.error().message << "\n";
    return 1;
  }
  const EvaluationReport report = Evaluate(*model, *dictionary, args.list_errors);
  const double words_per_second =
      report.decoding_seconds > 0 ? report.words / report.decoding_seconds : 0;
  if (args.json) {
    std::cout << "{\"words\": " << report.words
              << ", \"word_errors\": " << report.word_errors
              << ", \"wer\": " << report.word_error_rate()
              << ", \"reference_phonemes\": " << report.reference_phonemes
              << ", \"phoneme_errors\": " << report.phoneme_errors
              << ", \"per\": " << report.phoneme_error_rate()
              << ", \"words_with_unknown_letters\": "
              << report.words_with_unknown_letters
              << ", \"decoding_seconds\": " << report.decoding_seconds
              << ", \"words_per_second\": " << words_per_second
              << ", \"errors\": [";
    for (std::size_t i = 0; i < report.errors.size(); ++i) {
      const WordError &error = report.errors[i];
      std::cout << (i ? ", " : "") << "{\"word\": " << JsonString(error.word)
                << ", \"predicted\": " << JsonString(Join(error.predicted))
                << ", \"references\": [";
      for (std::size_t v = 0; v < error.references.size(); ++v) {
        std::cout << (v ? ", " : "") << JsonString(Join(error.references[v]));
      }
      std::cout << "]}";
    }
    std::cout << "]}\n";
    return 0;
  }
  for (const WordError &error : report.errors) {
    std::cout << error.word << "\t" << Join(error.predicted);
    for (const auto &reference : error.references) {
      std::cout << "\t" << Join(reference);
    }
    std::cout << "\n";
  }
  std::cout << "words: " << report.words << ", WER: " << report.word_error_rate()
            << "%, PER: " << report.phoneme_error_rate() << "%"
            << ", words with unknown letters: "
            << report.words_with_unknown_letters << ", "
            << words_per_second << " words/s\n";
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Arguments args;
  const std::string_view command = argc > 1 ? argv[1] : "";
  if ((command != "train" && command != "evaluate" && command != "align") ||
      !ParseArguments(argc, argv, args)) {
    std::cerr << kUsage;
    return 2;
  }
  if (command == "align") return AlignOnly(args);
  return command == "train" ? Train(args) : EvaluateModel(args);
}
