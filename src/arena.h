// Arena: bump allocation for the tree of one call. All of its memory is given
// back at once when the arena dies; nothing is freed piecemeal. Not
// thread-safe: each call owns its arena.
//
// A small tree lives in 64 KiB heap blocks. Once a tree has outgrown 8 MiB the
// arena maps geometrically larger blocks straight from the system and asks for
// transparent huge pages on them, so that a large tree is faulted in 2 MiB at a
// time rather than 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavisk {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // `bytes` of storage aligned to `align` (a power of two, at most 16).
  void* allocate(std::size_t bytes, std::size_t align) {
    const auto end = reinterpret_cast<std::uintptr_t>(end_);
    const auto p = (reinterpret_cast<std::uintptr_t>(cur_) + (align - 1)) & ~static_cast<std::uintptr_t>(align - 1);
    if (p <= end && bytes <= end - p) {
      cur_ = reinterpret_cast<char*>(p + bytes);
      return reinterpret_cast<void*>(p);
    }
    return allocate_slow(bytes);
  }

  template <class T>
  T* allocate_array(std::size_t n) {
    static_assert(alignof(T) <= 16);
    return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
  }

  // Whether `p` of `bytes` bytes is the latest allocation, nothing allocated after it.
  bool is_last(const void* p, std::size_t bytes) const { return static_cast<const char*>(p) + bytes == cur_; }

  // Gives back the tail of the latest allocation `p` of `bytes` bytes past its first `keep`
  // bytes, when nothing was allocated after it.
  void shrink_last(void* p, std::size_t bytes, std::size_t keep) {
    if (static_cast<char*>(p) + bytes == cur_) cur_ = static_cast<char*>(p) + keep;
  }

  // Mapped storage for a stack whose contents may become part of the tree:
  // `payload` bytes in whole huge pages, room for a block header in front.
  static void* map_growable(std::size_t payload);
  static void* grow_mapped(void* data, std::size_t payload, std::size_t new_payload);
  static void unmap_growable(void* data, std::size_t payload);
  // Takes over growable storage of `payload` bytes of which the first `used`
  // stay in use until the arena dies; the rest is given back now.
  void adopt_growable(void* data, std::size_t payload, std::size_t used);

  // Takes over the blocks of `other`, which is left empty: what was allocated
  // there lives as long as this arena. An empty arena carries on in `other`'s
  // current block; otherwise its own current block stays current.
  void absorb(Arena& other);

  // Bytes of heap blocks and of mapped blocks obtained so far.
  std::size_t heap_bytes() const { return heap_bytes_; }
  std::size_t mapped_bytes() const { return mapped_bytes_; }

 private:
  struct Block {
    Block* next;
    std::size_t size;  // whole block, header included
    bool mapped;
  };
  static constexpr std::size_t header = 32;
  static constexpr std::size_t heap_block = 64 * 1024 - 64;
  static constexpr std::size_t map_from = 8 << 20;  // heap bytes before blocks are mapped
  static constexpr std::size_t huge_page = 2 << 20;
  static constexpr std::size_t max_mapped_block = 64 << 20;

  void* allocate_slow(std::size_t bytes);
  static char* aligned_range(std::size_t size);
  static std::size_t in_huge_pages(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }
  Block* new_block(std::size_t payload);
  void link_behind_current(Block* b);

  Block* blocks_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  std::size_t heap_bytes_ = 0;
  std::size_t mapped_bytes_ = 0;
};

}  // namespace tavisk
