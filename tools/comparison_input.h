// What the comparison tools read: a model and a word list, each named on
// the command line.
#ifndef VUREL_TOOLS_COMPARISON_INPUT_H_
#define VUREL_TOOLS_COMPARISON_INPUT_H_

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/model.h"

namespace vurel::tools {

struct ComparisonInput {
  Model model;
  std::vector<std::string> words;  // one per line, as given; empty lines left out
};

// Loads the model at `model_path` and the words of `words_path`; nothing,
// after a message on standard error, when either cannot be read.
inline std::optional<ComparisonInput> ReadComparisonInput(const char *model_path,
                                                          const char *words_path) {
  Result<Model> model = Model::Load(model_path, "");
  if (!model.ok()) {
    std::fprintf(stderr, "%s\n", model.error().message.c_str());
    return std::nullopt;
  }
  std::ifstream input(words_path);
  if (!input) {
    std::fprintf(stderr, "cannot read %s\n", words_path);
    return std::nullopt;
  }
  std::vector<std::string> words;
  for (std::string line; std::getline(input, line);) {
    if (!line.empty()) words.push_back(line);
  }
  std::printf("%zu words; the direct search %s this model\n", words.size(),
              model->suits_direct_search() ? "suits" : "does not suit");
  return ComparisonInput{std::move(model).value(), std::move(words)};
}

}  // namespace vurel::tools

#endif  // VUREL_TOOLS_COMPARISON_INPUT_H_
