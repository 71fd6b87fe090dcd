// Scratch: the stack a reader keeps the children of its open containers on,
// until a container closes and its children move into an exactly sized list.
// Values and members hold no pointers into themselves, so they are relocated
// with plain byte copies: on growth, and when a closed container's children move out.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>

#include "arena.h"
#include "list.h"

namespace tavisk {

// A small stack lives on the heap. A large one is mapped and grown by moving
// its pages, so growth never holds the old and the new copy at once; and when
// the children of a closing container fill the whole stack (the root's, or a
// container's directly under an object on the other stack) the mapping itself
// is handed to the arena as their list, instead of being copied once more.
template <class T>
class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    pop_to(0);
    release();
  }

  std::size_t size() const { return size_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  T& back() { return data_[size_ - 1]; }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) grow();
    return *new (data_ + size_++) T(static_cast<Args&&>(args)...);
  }
  void pop_to(std::size_t base) {
    while (size_ > base) data_[--size_].~T();
  }
  // Hands the elements above `base` over to `out`, which now owns them.
  void relocate_to(std::size_t base, T* out) {
    std::memcpy(static_cast<void*>(out), static_cast<const void*>(data_ + base), (size_ - base) * sizeof(T));
    size_ = base;
  }
  // Whether the whole stack can become the arena's (see above).
  bool can_hand_over(std::size_t base) const { return base == 0 && mapped_ && size_ > 0; }
  // Gives the stack's storage, holding its elements, to the arena and starts afresh.
  T* hand_over(Arena& arena) {
    T* data = data_;
    arena.adopt_growable(data_, capacity_ * sizeof(T), size_ * sizeof(T));
    data_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
    return data;
  }

  // Capacity from which the stack is mapped: half a huge page's worth of bytes and more.
  static constexpr std::size_t mapped_from = (1u << 20) / sizeof(T);

 private:
  void grow() {
    const std::size_t capacity = capacity_ ? capacity_ * 2 : 64;
    T* fresh;
    if (mapped_) {
      fresh = static_cast<T*>(Arena::grow_mapped(data_, capacity_ * sizeof(T), capacity * sizeof(T)));
    } else {
      fresh = static_cast<T*>(capacity >= mapped_from ? Arena::map_growable(capacity * sizeof(T))
                                                      : ::operator new(capacity * sizeof(T)));
      if (size_) std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(data_), size_ * sizeof(T));
      ::operator delete(data_);
      mapped_ = capacity >= mapped_from;
    }
    data_ = fresh;
    capacity_ = capacity;
  }
  void release() {
    if (mapped_)
      Arena::unmap_growable(data_, capacity_ * sizeof(T));
    else
      ::operator delete(data_);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

// Moves the elements above `base` off `stack` into an exactly sized list in `arena`.
template <class T>
List<T> arena_list(Scratch<T>& stack, std::size_t base, Arena& arena) {
  const std::size_t n = stack.size() - base;
  if (n == 0) return List<T>();
  if (stack.can_hand_over(base)) return List<T>::borrow(stack.hand_over(arena), n);
  T* data = arena.allocate_array<T>(n);
  stack.relocate_to(base, data);
  return List<T>::borrow(data, n);
}

}  // namespace tavisk
