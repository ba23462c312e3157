#include "util/flat_index.h"

#include <algorithm>
#include <utility>

namespace vurel {

void FlatIndex::Grow() {
  std::vector<Slot> slots(slots_.size() * 2);
  std::swap(slots, slots_);
  mask_ = slots_.size() - 1;
  for (const Slot &old : slots) {
    if (old.generation != generation_) continue;
    std::size_t slot = SlotOf(old.key);
    while (slots_[slot].generation == generation_) slot = (slot + 1) & mask_;
    slots_[slot] = old;
  }
}

void FlatIndex::Clear() {
  size_ = 0;
  if (++generation_ != 0) return;
  std::fill(slots_.begin(), slots_.end(), Slot{});
  generation_ = 1;
}

}  // namespace vurel
