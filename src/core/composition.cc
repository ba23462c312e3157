#include "composition.h"

namespace vurel {
namespace {

// Matchers on the concrete VectorFst type rather than Fst<Arc>: the
// composition then looks arcs up without a virtual call per arc.
using Matcher = fst::SortedMatcher<VectorFst>;
using Filter = fst::SequenceComposeFilter<Matcher, Matcher>;
using ComposeOptions = fst::ComposeFstImplOptions<Matcher, Matcher, Filter>;

bool HasError(const fst::Fst<Arc> &fst) {
  return fst.Properties(fst::kError, false) != 0;
}

}  // namespace

Result<VectorFst> PrepareLattice(VectorFst acceptor, const VectorFst &model) {
  openfst::MakeErrorsNonFatal();
  openfst::ScopedLogSilencer silencer;

  VectorFst lattice;
  {
    // The options hand the matchers to the composition, which owns and
    // deletes them; a null filter and state table make it build new ones.
    // The lattice is copied out state by state, once, so the composition's
    // cache need only keep the state being copied.
    ComposeOptions options(fst::CacheOptions(/*gc=*/true, /*gc_limit=*/0),
                           new Matcher(acceptor, fst::MATCH_OUTPUT),
                           new Matcher(model, fst::MATCH_INPUT));
    const fst::ComposeFst<Arc> composition(acceptor, model, options);
    if (HasError(composition)) {
      return InternalError("composition of the word with the model failed");
    }
    lattice = VectorFst(composition);
    if (HasError(lattice) || HasError(composition)) {
      return InternalError("expanding the composed lattice failed");
    }
  }
  fst::Connect(&lattice);
  if (HasError(lattice)) return InternalError("trimming the lattice failed");
  return lattice;
}

}  // namespace vurel
