// 64-bit keys to 32-bit ids by open addressing (linear probing), for the
// searches' per-word tables: std::unordered_map allocates a node for each
// of the thousands of keys a word stores, and emptying it for the next word
// touches every one of them.
#ifndef VUREL_CORE_FLAT_INDEX_H_
#define VUREL_CORE_FLAT_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vurel {

class FlatIndex {
 public:
  static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

  // `initial_slots` must be a power of two.
  explicit FlatIndex(std::size_t initial_slots = 1024)
      : slots_(initial_slots), mask_(initial_slots - 1) {}

  // The id stored for `key`, or `next_id` after storing it.
  std::uint32_t FindOrInsert(std::uint64_t key, std::uint32_t next_id) {
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    std::size_t slot = SlotOf(key);
    while (slots_[slot].generation == generation_) {
      if (slots_[slot].key == key) return slots_[slot].id;
      slot = (slot + 1) & mask_;
    }
    slots_[slot] = {key, next_id, generation_};
    ++size_;
    return next_id;
  }

  // The id stored for `key`, or kAbsent.
  std::uint32_t Find(std::uint64_t key) const {
    for (std::size_t slot = SlotOf(key); slots_[slot].generation == generation_;
         slot = (slot + 1) & mask_) {
      if (slots_[slot].key == key) return slots_[slot].id;
    }
    return kAbsent;
  }

  std::size_t size() const { return size_; }

  // Empties the table at once: a slot holds a key only while its generation
  // is the table's, so a new generation empties them all without touching
  // them. The slots are cleared only when the generations run out.
  void Clear();

 private:
  // A key beside its id, so that a lookup reads one line of the cache.
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t id = 0;
    std::uint32_t generation = 0;
  };

  std::size_t SlotOf(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask_;
  }

  void Grow();

  std::vector<Slot> slots_;
  std::size_t mask_;
  std::size_t size_ = 0;
  std::uint32_t generation_ = 1;  // slots start at generation 0: empty
};

}  // namespace vurel

#endif  // VUREL_CORE_FLAT_INDEX_H_
