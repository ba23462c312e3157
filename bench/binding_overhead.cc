// Times the phoneticize driver alone on one word, for comparison with one
// phoneticize_paths call from Python (bench/binding_overhead.py).
//
// Usage: binding_overhead MODEL WORD [CALLS]
// Prints the mean time of one call in nanoseconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/driver.h"
#include "model/model.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODEL WORD [CALLS]\n", argv[0]);
    return 2;
  }
  const std::string word = argv[2];
  const long calls = argc > 3 ? std::atol(argv[3]) : 20000;
  auto model = vurel::Model::Load(argv[1], "");
  if (!model.ok()) {
    std::fprintf(stderr, "%s\n", model.error().message.c_str());
    return 1;
  }
  vurel::openfst::MakeErrorsNonFatal();
  const vurel::PhoneticizeOptions options;
  std::size_t records = 0;
  for (long i = 0; i < calls / 10; ++i)  // warm-up
    records += vurel::Phoneticize(*model, word, options).size();
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < calls; ++i)
    records += vurel::Phoneticize(*model, word, options).size();
  const std::chrono::duration<double, std::nano> elapsed =
      std::chrono::steady_clock::now() - start;
  if (records == 0) {
    std::fprintf(stderr, "the word decodes to nothing\n");
    return 1;
  }
  std::printf("%.0f\n", elapsed.count() / static_cast<double>(calls));
  return 0;
}
