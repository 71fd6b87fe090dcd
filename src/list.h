// List, the child list of a document node: 13 bytes over one block, with the
// operations the tree needs and nothing more, so that a node holding one is 16
// bytes. The block is either owned (from the heap, its capacity in a header in
// front of the elements) or borrowed (from an arena that outlives the list,
// exactly sized): a borrowed block is never freed, and growing one moves the
// elements into an owned block. A list holds at most 2^32 - 1 elements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <stdexcept>
#include <utility>

namespace tavisk {

template <class T>
class __attribute__((packed)) List {
 public:
  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;
  using reference = T&;
  using const_reference = const T&;

  static constexpr std::size_t max_size = UINT32_MAX;

  List() noexcept : data_(nullptr), size_(0), owned_(false) {}
  List(std::initializer_list<T> init) : List(init.begin(), init.end()) {}
  template <class It>
  List(It first, It last) : List() {
    reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) emplace_back(*first);
  }
  List(const List& other) : List(other.begin(), other.end()) {}
  List(List&& other) noexcept : data_(other.data_), size_(other.size_), owned_(other.owned_) {
    other.data_ = nullptr;
    other.size_ = 0;
    other.owned_ = false;
  }
  List& operator=(const List& other) {
    if (this != &other) {
      List copy(other);
      swap(copy);
    }
    return *this;
  }
  List& operator=(List&& other) noexcept {
    if (this != &other) {
      List taken(std::move(other));
      swap(taken);
    }
    return *this;
  }
  ~List() { release(); }

  // A list over `size` constructed elements in storage it does not own. The
  // elements are still destroyed with the list.
  static List borrow(T* data, std::size_t size) {
    if (size > max_size) throw std::length_error("list too long");
    List l;
    if (size > 0) {
      l.data_ = data;
      l.size_ = static_cast<std::uint32_t>(size);
    }
    return l;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const {
    if (!owned_) return size_;
    std::size_t c;
    std::memcpy(&c, reinterpret_cast<const char*>(data_) - header, sizeof c);
    return c;
  }
  T* data() { return data_; }
  const T* data() const { return data_; }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  void reserve(std::size_t n) {
    if (n > capacity()) regrow(n);
  }
  void push_back(const T& x) { emplace_back(x); }
  void push_back(T&& x) { emplace_back(std::move(x)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity()) {
      // Built first, so that an argument referring into this list stays valid.
      T item(std::forward<Args>(args)...);
      regrow(std::max<std::size_t>(4, std::size_t{size_} * 2));
      return *new (data_ + size_++) T(std::move(item));
    }
    return *new (data_ + size_++) T(std::forward<Args>(args)...);
  }
  void pop_back() { data_[--size_].~T(); }
  void clear() {
    while (size_ > 0) pop_back();
  }
  void resize(std::size_t n) {
    while (size_ > n) pop_back();
    reserve(n);
    while (size_ < n) emplace_back();
  }
  void swap(List& other) noexcept {
    T* d = data_;
    const std::uint32_t n = size_;
    const bool o = owned_;
    data_ = other.data_;
    size_ = other.size_;
    owned_ = other.owned_;
    other.data_ = d;
    other.size_ = n;
    other.owned_ = o;
  }

  friend bool operator==(const List& a, const List& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

 private:
  // In front of an owned block's elements: its capacity, padded to keep the elements aligned.
  static constexpr std::size_t header = 16;

  void regrow(std::size_t n) {
    static_assert(alignof(T) <= header);
    if (n > max_size) {
      if (size_ == max_size) throw std::length_error("list too long");
      n = max_size;
    }
    char* block = static_cast<char*>(::operator new(header + n * sizeof(T)));
    std::memcpy(block, &n, sizeof n);
    T* fresh = reinterpret_cast<T*>(block + header);
    for (std::size_t i = 0; i < size_; ++i) {
      new (fresh + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    free_block();
    data_ = fresh;
    owned_ = true;
  }
  void free_block() noexcept {
    if (owned_) ::operator delete(reinterpret_cast<char*>(data_) - header);
  }

  void release() noexcept {
    clear();
    free_block();
    data_ = nullptr;
    owned_ = false;
  }

  T* data_;
  std::uint32_t size_;
  bool owned_;  // the block is the list's own, with a header in front
};

}  // namespace tavisk
