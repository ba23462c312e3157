#include "flat_index.h"

#include <utility>

namespace vurel {

void FlatIndex::Grow() {
  std::vector<std::uint64_t> keys(keys_.size() * 2, kEmpty);
  std::vector<std::uint32_t> ids(keys.size(), 0);
  std::swap(keys, keys_);
  std::swap(ids, ids_);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == kEmpty) continue;
    std::size_t slot = Slot(keys[i]);
    while (keys_[slot] != kEmpty) slot = (slot + 1) & (keys_.size() - 1);
    keys_[slot] = keys[i];
    ids_[slot] = ids[i];
  }
}

}  // namespace vurel
