// An object each thread keeps from one word to the next: the searches'
// tables keep their room instead of being allocated and cleared afresh for
// every word. An object taken while another of its type is out on the same
// thread is a new one; the last one kept stays.
#ifndef VUREL_CORE_THREAD_SPARE_H_
#define VUREL_CORE_THREAD_SPARE_H_

#include <memory>

namespace vurel {

template <class T>
class ThreadSpare {
 public:
  // The thread's kept object, or a new one.
  static std::unique_ptr<T> Take() {
    return spare_ != nullptr ? std::move(spare_) : std::make_unique<T>();
  }
  // Keeps `object`, emptied by the caller, for the thread's next Take.
  static void Keep(std::unique_ptr<T> object) { spare_ = std::move(object); }

 private:
  inline static thread_local std::unique_ptr<T> spare_;
};

}  // namespace vurel

#endif  // VUREL_CORE_THREAD_SPARE_H_
