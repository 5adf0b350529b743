#pragma once
// Chunked<T>: a sequence held in shared, copy-on-write chunks of 128 elements.
//
// What it promises
// - Value semantics: a copy is an independent sequence. Changing one copy
//   never changes another; chunks are shared only while nobody writes them.
// - Layout: element i lives at position i % 128 of chunk i / 128. Every chunk
//   but the last holds exactly 128 elements, the last holds 1..128, and an
//   empty sequence has no chunk at all.
// - Sharing survives edits at the end: after truncate + push, or an insert /
//   remove at position p, every chunk wholly before the edited one is still
//   the very buffer the other copies hold.
//
// What it costs
// - Copy: one reference increment per chunk (about n / 128) plus one small
//   array of handles; no element is copied.
// - push: amortised O(1); copies at most the last chunk (when shared).
// - truncate: O(1) handle releases per dropped chunk, and copies at most the
//   last kept chunk.
// - insert / remove at p: O(n - p); copies the chunks from p's chunk to the
//   end when they are shared.
// - Indexed read: two indirections. Iteration walks chunk by chunk.
// - Single-threaded. The reference count is std::shared_ptr's (atomic, but
//   no copy is ever written from two threads).
//
// A chunk made private by copy-on-write has room for exactly its elements and
// grows as needed; a chunk created fresh reserves the full 128.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace tessel::exchange {

template <class T>
class Chunked {
 public:
  static constexpr uint64_t kChunkSize = 128;

 private:
  using Chunk = std::vector<T>;
  using Handle = std::shared_ptr<Chunk>;

 public:
  // Forward iterator over the elements, chunk by chunk. Position (chunk k,
  // offset o) is element k * 128 + o; moving past offset 127 steps to the
  // next chunk, so the position after the last element is (len / 128,
  // len % 128) whether or not the last chunk is full.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;

    reference operator*() const { return (**chunk_)[offset_]; }
    pointer operator->() const { return &(**chunk_)[offset_]; }
    const_iterator& operator++() {
      if (++offset_ == kChunkSize) {
        ++chunk_;
        offset_ = 0;
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.chunk_ == b.chunk_ && a.offset_ == b.offset_;
    }

   private:
    friend class Chunked;
    const_iterator(const Handle* chunk, uint64_t offset) : chunk_(chunk), offset_(offset) {}

    const Handle* chunk_ = nullptr;
    uint64_t offset_ = 0;
  };
  using iterator = const_iterator;

  // Elements [begin, end) of a sequence, by reference. Valid until the
  // sequence it came from is changed.
  class Range {
   public:
    const_iterator begin() const { return begin_; }
    const_iterator end() const { return end_; }

   private:
    friend class Chunked;
    Range(const_iterator b, const_iterator e) : begin_(b), end_(e) {}
    const_iterator begin_;
    const_iterator end_;
  };

  Chunked() = default;
  Chunked(std::initializer_list<T> values) { extend(values); }

  uint64_t len() const { return len_; }
  bool empty() const { return len_ == 0; }

  const T& operator[](uint64_t i) const {
    assert(i < len_);
    return (*chunks_[i / kChunkSize])[i % kChunkSize];
  }
  const T& back() const {
    assert(len_ > 0);
    return chunks_.back()->back();
  }

  // Writable access to element i; the chunk holding it becomes private.
  T& at_mut(uint64_t i) {
    assert(i < len_);
    return make_private(i / kChunkSize)[i % kChunkSize];
  }
  void set(uint64_t i, T value) { at_mut(i) = std::move(value); }

  void push(T value) {
    if (len_ % kChunkSize == 0) append_new_chunk();
    make_private(chunks_.size() - 1).push_back(std::move(value));
    ++len_;
  }

  // Inserts before position `index`; requires index <= len().
  void insert(uint64_t index, T value) {
    assert(index <= len_);
    if (index == len_) {
      push(std::move(value));
      return;
    }
    uint64_t k = index / kChunkSize;
    Chunk* chunk = &make_private(k);
    chunk->insert(chunk->begin() + static_cast<std::ptrdiff_t>(index % kChunkSize),
                  std::move(value));
    // Ripple the overflow of each full chunk into the front of the next one.
    while (chunk->size() > kChunkSize) {
      T carry = std::move(chunk->back());
      chunk->pop_back();
      ++k;
      if (k == chunks_.size()) append_new_chunk();
      chunk = &make_private(k);
      chunk->insert(chunk->begin(), std::move(carry));
    }
    ++len_;
  }

  // Deletes the element at `index`; requires index < len().
  void remove(uint64_t index) {
    assert(index < len_);
    uint64_t k = index / kChunkSize;
    Chunk* chunk = &make_private(k);
    chunk->erase(chunk->begin() + static_cast<std::ptrdiff_t>(index % kChunkSize));
    // Pull the first element of every later chunk back into its predecessor.
    for (++k; k < chunks_.size(); ++k) {
      Chunk& next = make_private(k);
      chunk->push_back(std::move(next.front()));
      next.erase(next.begin());
      chunk = &next;
    }
    --len_;
    if (len_ % kChunkSize == 0) chunks_.pop_back();
  }

  // Keeps the first `new_len` elements; requires new_len <= len().
  void truncate(uint64_t new_len) {
    assert(new_len <= len_);
    chunks_.resize((new_len + kChunkSize - 1) / kChunkSize);
    const uint64_t tail = new_len % kChunkSize;
    if (tail != 0) {
      Handle& last = chunks_.back();
      if (last.use_count() > 1) {
        // Copy only what survives: the private chunk has room for exactly it.
        last = std::make_shared<Chunk>(last->begin(),
                                       last->begin() + static_cast<std::ptrdiff_t>(tail));
      } else {
        last->erase(last->begin() + static_cast<std::ptrdiff_t>(tail), last->end());
      }
    }
    len_ = new_len;
  }

  template <class Values>
  void extend(const Values& values) {
    for (const auto& v : values) push(v);
  }
  void extend(std::initializer_list<T> values) {
    for (const auto& v : values) push(v);
  }
  // A 64-bit item in a word sequence: low word first, then high word.
  void extend_pair(T low, T high) {
    push(std::move(low));
    push(std::move(high));
  }

  const_iterator begin() const { return position(0); }
  const_iterator end() const { return position(len_); }
  Range iter() const { return Range(begin(), end()); }

  // Elements [start, end) in order; requires start <= end <= len().
  Range range(uint64_t start, uint64_t end) const {
    assert(start <= end && end <= len_);
    return Range(position(start), position(end));
  }
  std::vector<T> copy_range(uint64_t start, uint64_t end) const {
    assert(start <= end && end <= len_);
    std::vector<T> out;
    out.reserve(end - start);
    for_each_span(start, end, [&](std::span<const T> part) {
      out.insert(out.end(), part.begin(), part.end());
    });
    return out;
  }
  std::vector<T> to_vector() const { return copy_range(0, len_); }

  // Calls f(std::span<const T>) for the contiguous pieces of [start, end), in
  // order: one call per chunk touched.
  template <class F>
  void for_each_span(uint64_t start, uint64_t end, F&& f) const {
    assert(start <= end && end <= len_);
    while (start < end) {
      const Chunk& chunk = *chunks_[start / kChunkSize];
      const uint64_t offset = start % kChunkSize;
      const uint64_t take = std::min<uint64_t>(end - start, chunk.size() - offset);
      f(std::span<const T>(chunk.data() + offset, take));
      start += take;
    }
  }

  friend bool operator==(const Chunked& a, const Chunked& b) {
    if (a.len_ != b.len_) return false;
    for (size_t k = 0; k < a.chunks_.size(); ++k) {
      if (a.chunks_[k] != b.chunks_[k] && *a.chunks_[k] != *b.chunks_[k]) return false;
    }
    return true;
  }

  // Introspection for tests and benchmarks.
  uint64_t chunk_count() const { return chunks_.size(); }
  uint64_t chunk_size(uint64_t k) const { return chunks_[k]->size(); }
  uint64_t chunk_capacity(uint64_t k) const { return chunks_[k]->capacity(); }
  // True when chunk k of both sequences is the same buffer.
  bool shares_chunk_with(const Chunked& other, uint64_t k) const {
    return k < chunks_.size() && k < other.chunks_.size() && chunks_[k] == other.chunks_[k];
  }

 private:
  const_iterator position(uint64_t i) const {
    return const_iterator(chunks_.data() + i / kChunkSize, i % kChunkSize);
  }

  // A new chunk starts small and grows (doubling) to kChunkSize: most tile
  // sequences of a phase hold a handful of elements, and reserving full
  // chunks for all of them made every schedule allocate and touch megabytes
  // it never used (measured: a third of scheduling time went to the
  // allocator and page faults on 1472-tile phases).
  static constexpr std::size_t kFirstChunkCapacity = 8;

  void append_new_chunk() {
    auto chunk = std::make_shared<Chunk>();
    chunk->reserve(kFirstChunkCapacity);
    chunks_.push_back(std::move(chunk));
  }

  // Replaces chunk k by a private copy when another sequence holds it too.
  Chunk& make_private(uint64_t k) {
    Handle& handle = chunks_[k];
    if (handle.use_count() > 1) handle = std::make_shared<Chunk>(*handle);
    return *handle;
  }

  std::vector<Handle> chunks_;
  uint64_t len_ = 0;
};

}  // namespace tessel::exchange
