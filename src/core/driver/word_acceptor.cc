#include "driver/word_acceptor.h"

namespace vurel {

VectorFst BuildWordAcceptor(const std::vector<Label> &labels,
                            const ClusterTable &input_clusters) {
  const std::size_t size = labels.size();
  const std::size_t longest = input_clusters.longest;
  VectorFst acceptor;
  acceptor.ReserveStates(static_cast<StateId>(size + 1));
  acceptor.SetStart(acceptor.AddState());
  for (std::size_t i = 0; i < size; ++i) acceptor.AddState();

  LabelSequence run;
  run.reserve(longest);
  for (std::size_t i = 0; i < size; ++i) {
    const auto state = static_cast<Arc::StateId>(i);
    acceptor.AddArc(state, Arc(labels[i], labels[i], Weight::One(), state + 1));
    for (std::size_t k = 2; k <= longest && i + k <= size; ++k) {
      run.assign(labels.begin() + i, labels.begin() + i + k);
      const auto cluster = input_clusters.clusters.find(run);
      if (cluster == input_clusters.clusters.end()) continue;
      acceptor.AddArc(state, Arc(cluster->second, cluster->second,
                                 Weight::One(),
                                 static_cast<Arc::StateId>(i + k)));
    }
  }
  acceptor.SetFinal(static_cast<Arc::StateId>(size), Weight::One());
  return acceptor;
}

}  // namespace vurel
