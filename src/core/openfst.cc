#include "openfst.h"

#include <iostream>
#include <mutex>
#include <streambuf>

namespace vurel::openfst {

void MakeErrorsNonFatal() {
  // Defined by cmake/OpenFst.cmake for OpenFst 1.8.2 and later, whose flag
  // variables are named FST_FLAGS_*.
#ifdef VUREL_OPENFST_PREFIXED_FLAGS
  FST_FLAGS_fst_error_fatal = false;
#else
  FLAGS_fst_error_fatal = false;
#endif
}

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

std::mutex silencer_mutex;
int silencer_depth = 0;
std::streambuf *saved_buffer = nullptr;

}  // namespace

ScopedLogSilencer::ScopedLogSilencer() {
  static NullBuffer null_buffer;
  std::lock_guard lock(silencer_mutex);
  if (silencer_depth++ == 0) saved_buffer = std::cerr.rdbuf(&null_buffer);
}

ScopedLogSilencer::~ScopedLogSilencer() {
  std::lock_guard lock(silencer_mutex);
  if (--silencer_depth == 0) std::cerr.rdbuf(saved_buffer);
}

}  // namespace vurel::openfst
