#include "arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace tavisk {

static_assert(sizeof(void*) + sizeof(std::size_t) + sizeof(bool) <= 32, "a block header fits its bytes");

Arena::~Arena() {
  while (blocks_) {
    Block* next = blocks_->next;
    if (blocks_->mapped)
      ::munmap(blocks_, blocks_->size);
    else
      ::operator delete(blocks_);
    blocks_ = next;
  }
}

// A block with room for `payload` bytes: from the heap while the tree is
// small, mapped (in whole huge pages) once it is not, or when one request is
// that large itself (a long string): the heap would map it too, in small pages
// that each cost a fault.
Arena::Block* Arena::new_block(std::size_t payload) {
  Block* b;
  if (heap_bytes_ < map_from && payload < map_from) {
    const std::size_t size = std::max(heap_block, header + payload);
    b = static_cast<Block*>(::operator new(size));
    b->size = size;
    b->mapped = false;
    heap_bytes_ += size;
  } else {
    const std::size_t want = std::max(header + payload, std::min(heap_bytes_ + mapped_bytes_, max_mapped_block));
    const std::size_t size = in_huge_pages(want);
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    ::madvise(p, size, MADV_HUGEPAGE);  // advice only: without huge pages the block still works
    b = static_cast<Block*>(p);
    b->size = size;
    b->mapped = true;
    mapped_bytes_ += size;
  }
  b->next = nullptr;
  return b;
}

namespace {

constexpr std::size_t page = 4096;

std::size_t whole_pages(std::size_t bytes) { return (bytes + page - 1) / page * page; }

}  // namespace

// Growable storage is a mapping whose first `header` bytes are kept for the
// block header it gets when adopted; `data` points past them.
void* Arena::map_growable(std::size_t payload) {
  const std::size_t size = in_huge_pages(header + payload);
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::madvise(p, size, MADV_HUGEPAGE);
  return static_cast<char*>(p) + header;
}

// The pages move to a fresh huge-page-aligned range instead of being copied:
// a copy would hold the old and the new storage at once, twice the stack at
// its peak. Moved off the huge-page boundaries, the stack would fault in small
// pages; where the move fails, the pages are copied.
void* Arena::grow_mapped(void* data, std::size_t payload, std::size_t new_payload) {
  char* const base = static_cast<char*>(data) - header;
  const std::size_t size = in_huge_pages(header + payload), new_size = in_huge_pages(header + new_payload);
  if (char* target = aligned_range(new_size)) {
    void* moved = ::mremap(base, size, new_size, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved != MAP_FAILED) {
      ::madvise(moved, new_size, MADV_HUGEPAGE);
      return static_cast<char*>(moved) + header;
    }
    ::munmap(target, new_size);
  }
  void* fresh = map_growable(new_payload);
  std::memcpy(fresh, data, payload);
  unmap_growable(data, payload);
  return fresh;
}

// A mapping of `size` bytes (whole huge pages) starting on a huge-page boundary, or null.
char* Arena::aligned_range(std::size_t size) {
  void* p = ::mmap(nullptr, size + huge_page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  char* const start = static_cast<char*>(p);
  const auto at = reinterpret_cast<std::uintptr_t>(start);
  char* const aligned = start + ((huge_page - at % huge_page) % huge_page);
  if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
  char* const end = aligned + size;
  if (end < start + size + huge_page) ::munmap(end, static_cast<std::size_t>(start + size + huge_page - end));
  return aligned;
}

void Arena::unmap_growable(void* data, std::size_t payload) {
  ::munmap(static_cast<char*>(data) - header, in_huge_pages(header + payload));
}

void Arena::adopt_growable(void* data, std::size_t payload, std::size_t used) {
  char* base = static_cast<char*>(data) - header;
  const std::size_t size = whole_pages(header + used);
  const std::size_t mapped = in_huge_pages(header + payload);
  if (size < mapped) ::munmap(base + size, mapped - size);
  Block* b = reinterpret_cast<Block*>(base);
  b->size = size;
  b->mapped = true;
  b->next = nullptr;
  mapped_bytes_ += size;
  link_behind_current(b);
}

// A block made for one large request goes behind the current block, whose
// free space stays in use.
void Arena::link_behind_current(Block* b) {
  if (blocks_) {
    b->next = blocks_->next;
    blocks_->next = b;
  } else {
    blocks_ = b;
  }
}

void Arena::absorb(Arena& other) {
  if (!other.blocks_) return;
  if (!blocks_) {
    blocks_ = other.blocks_;
    cur_ = other.cur_;
    end_ = other.end_;
  } else {
    Block* last = other.blocks_;
    while (last->next) last = last->next;
    last->next = blocks_->next;
    blocks_->next = other.blocks_;
  }
  heap_bytes_ += other.heap_bytes_;
  mapped_bytes_ += other.mapped_bytes_;
  other.blocks_ = nullptr;
  other.cur_ = other.end_ = nullptr;
  other.heap_bytes_ = other.mapped_bytes_ = 0;
}

void* Arena::allocate_slow(std::size_t bytes) {
  Block* b = new_block(bytes);
  char* start = reinterpret_cast<char*>(b) + header;
  char* end = reinterpret_cast<char*>(b) + b->size;
  const std::size_t left_in_new = b->size - header - bytes;
  const std::size_t left_in_current = cur_ ? static_cast<std::size_t>(end_ - cur_) : 0;
  if (left_in_new < left_in_current) {
    link_behind_current(b);
    return start;
  }
  b->next = blocks_;
  blocks_ = b;
  cur_ = start + bytes;
  end_ = end;
  return start;
}

}  // namespace tavisk
