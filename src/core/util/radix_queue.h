// A priority queue for Dijkstra's algorithm over non-negative float keys:
// a radix heap. Keys taken out never decrease, so an entry only needs to be
// placed by the highest bit in which its key differs from the last key taken
// out; each entry moves down the 33 buckets a few times at most, where a
// binary heap sifts every entry through a dozen levels of a large array.
#ifndef VUREL_CORE_RADIX_QUEUE_H_
#define VUREL_CORE_RADIX_QUEUE_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vurel {

class RadixQueue {
 public:
  struct Entry {
    float key;
    std::uint32_t item;
  };

  bool empty() const { return size_ == 0; }

  // Adds an entry. `key` must be a non-negative float (infinity allowed)
  // and not below the key of the last entry taken out.
  void Push(float key, std::uint32_t item) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(key);
    buckets_[BucketOf(bits)].push_back({key, item});
    ++size_;
  }

  // The entry with the least key; entries of equal keys come out last in,
  // first out. The queue must not be empty.
  const Entry &Top() {
    if (buckets_[0].empty()) Refill();
    return buckets_[0].back();
  }

  // Takes out every entry; the buckets keep their room.
  void Clear() {
    for (std::vector<Entry> &bucket : buckets_) bucket.clear();
    last_ = 0;
    size_ = 0;
  }

  // Takes out the entry Top returns.
  void Pop() {
    if (buckets_[0].empty()) Refill();
    buckets_[0].pop_back();
    --size_;
  }

 private:
  // Bucket 0 holds keys equal to the last taken out; bucket b > 0 those
  // whose highest bit differing from it is bit b - 1. The bits of
  // non-negative floats order as the floats do.
  std::size_t BucketOf(std::uint32_t bits) const {
    return bits == last_ ? 0 : 32 - static_cast<std::size_t>(std::countl_zero(bits ^ last_));
  }

  // Moves the entries of the first non-empty bucket down, around its
  // least key, which becomes the last key taken out.
  void Refill() {
    std::size_t first = 1;
    while (buckets_[first].empty()) ++first;
    std::vector<Entry> &bucket = buckets_[first];
    std::uint32_t least = std::bit_cast<std::uint32_t>(bucket.front().key);
    for (const Entry &entry : bucket) least = std::min(least, std::bit_cast<std::uint32_t>(entry.key));
    last_ = least;
    // Every entry lands in a bucket below `first`, so none is moved twice.
    for (const Entry &entry : bucket) {
      buckets_[BucketOf(std::bit_cast<std::uint32_t>(entry.key))].push_back(entry);
    }
    bucket.clear();
  }

  std::array<std::vector<Entry>, 33> buckets_;
  std::uint32_t last_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vurel

#endif  // VUREL_CORE_RADIX_QUEUE_H_
