// List, the child list of a document node: a vector of three words over one
// block, with the operations the tree needs and nothing more. The block is
// either owned (from the heap) or borrowed (from an arena that outlives the
// list): a borrowed block is never freed, and growing one moves the elements
// into an owned block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <new>
#include <utility>

namespace tavisk {

template <class T>
class List {
 public:
  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;
  using reference = T&;
  using const_reference = const T&;

  List() noexcept = default;
  List(std::initializer_list<T> init) : List(init.begin(), init.end()) {}
  template <class It>
  List(It first, It last) {
    reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) emplace_back(*first);
  }
  List(const List& other) : List(other.begin(), other.end()) {}
  List(List&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
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
  static List borrow(T* data, std::size_t size) noexcept {
    List l;
    if (size > 0) {
      l.data_ = data;
      l.size_ = size;
    }
    return l;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return borrowed() ? size_ : capacity_; }
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
      regrow(std::max<std::size_t>(4, size_ * 2));
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
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  friend bool operator==(const List& a, const List& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

 private:
  void regrow(std::size_t n) {
    T* fresh = static_cast<T*>(::operator new(n * sizeof(T)));
    for (std::size_t i = 0; i < size_; ++i) {
      new (fresh + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (!borrowed()) ::operator delete(data_);
    data_ = fresh;
    capacity_ = n;
  }
  // Borrowed storage is the only kind with elements and no capacity.
  bool borrowed() const { return capacity_ == 0 && data_ != nullptr; }

  void release() {
    clear();
    if (!borrowed()) ::operator delete(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tavisk
