// Composition of a word acceptor with the model, expanded and trimmed.
#ifndef VUREL_CORE_COMPOSITION_H_
#define VUREL_CORE_COMPOSITION_H_

#include "openfst.h"
#include "result.h"

namespace vurel {

// Composes `acceptor` (consumed) with `model` (sorted by input label) using
// sorted matchers and the sequence compose filter, expands the result and
// connects it. A word the model cannot read gives an FST without states.
// Fails with kInternal when OpenFst reports an error.
Result<VectorFst> PrepareLattice(VectorFst acceptor, const VectorFst &model);

}  // namespace vurel

#endif  // VUREL_CORE_COMPOSITION_H_
