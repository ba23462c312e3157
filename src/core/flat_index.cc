#include "flat_index.h"

#include <utility>

namespace vurel {

void FlatIndex::Grow() {
  std::vector<Slot> slots(slots_.size() * 2);
  std::swap(slots, slots_);
  mask_ = slots_.size() - 1;
  for (const Slot &old : slots) {
    if (old.key == kEmpty) continue;
    std::size_t slot = SlotOf(old.key);
    while (slots_[slot].key != kEmpty) slot = (slot + 1) & mask_;
    slots_[slot] = old;
  }
}

}  // namespace vurel
