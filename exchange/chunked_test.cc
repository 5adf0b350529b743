#include "exchange/chunked.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <vector>

namespace tessel::exchange {
namespace {

using Words = Chunked<uint32_t>;
constexpr uint64_t kChunk = Words::kChunkSize;

Words iota(uint32_t n) {
  Words w;
  for (uint32_t i = 0; i < n; ++i) w.push(i);
  return w;
}

std::vector<uint32_t> iota_vector(uint32_t n) {
  std::vector<uint32_t> v(n);
  std::iota(v.begin(), v.end(), 0u);
  return v;
}

// Dense layout: every chunk full but the last, no empty chunk, and every
// element readable the three ways (index, iteration, copy) with equal results.
void expect_matches(const Words& w, const std::vector<uint32_t>& v) {
  ASSERT_EQ(w.len(), v.size());
  ASSERT_EQ(w.chunk_count(), (v.size() + kChunk - 1) / kChunk);
  for (uint64_t k = 0; k < w.chunk_count(); ++k) {
    if (k + 1 < w.chunk_count()) {
      ASSERT_EQ(w.chunk_size(k), kChunk) << "chunk " << k;
    } else {
      ASSERT_GE(w.chunk_size(k), 1u);
      ASSERT_LE(w.chunk_size(k), kChunk);
    }
  }
  for (uint64_t i = 0; i < v.size(); ++i) ASSERT_EQ(w[i], v[i]) << "index " << i;
  std::vector<uint32_t> iterated;
  for (uint32_t x : w) iterated.push_back(x);
  ASSERT_EQ(iterated, v);
  ASSERT_EQ(w.to_vector(), v);
}

TEST(Chunked, PushFillsOneChunkBeforeStartingTheNext) {
  Words w = iota(128);
  EXPECT_EQ(w.chunk_count(), 1u);
  EXPECT_EQ(w.chunk_size(0), 128u);
  w.push(128);
  EXPECT_EQ(w.chunk_count(), 2u);
  EXPECT_EQ(w.chunk_size(1), 1u);
  // A fresh chunk starts small and grows towards the full size.
  EXPECT_LE(w.chunk_capacity(1), 128u);
  EXPECT_EQ(w.back(), 128u);
  expect_matches(w, iota_vector(129));
}

TEST(Chunked, InsertAtFrontRipplesIntoANewChunk) {
  Words w = iota(256);
  w.insert(0, 1000);
  ASSERT_EQ(w.len(), 257u);
  ASSERT_EQ(w.chunk_count(), 3u);
  EXPECT_EQ(w.chunk_size(2), 1u);
  EXPECT_EQ(w[128], 127u);  // last of chunk 0 moved to the front of chunk 1
  EXPECT_EQ(w[256], 255u);  // last of chunk 1 moved into the new chunk
  std::vector<uint32_t> v = iota_vector(256);
  v.insert(v.begin(), 1000);
  expect_matches(w, v);
}

TEST(Chunked, RemoveLeavesNoEmptyChunk) {
  Words w = iota(129);
  w.remove(5);
  EXPECT_EQ(w.chunk_count(), 1u);
  EXPECT_EQ(w.chunk_size(0), 128u);
  std::vector<uint32_t> v = iota_vector(129);
  v.erase(v.begin() + 5);
  expect_matches(w, v);

  Words one = iota(1);
  one.remove(0);
  EXPECT_EQ(one.chunk_count(), 0u);
  EXPECT_TRUE(one.empty());
}

TEST(Chunked, CopyIsUnchangedByInsertAndKeepsThePrefixShared) {
  Words w = iota(400);
  const Words copy = w;
  for (uint64_t k = 0; k < 4; ++k) EXPECT_TRUE(w.shares_chunk_with(copy, k));

  w.insert(300, 7);
  expect_matches(copy, iota_vector(400));
  EXPECT_TRUE(w.shares_chunk_with(copy, 0));
  EXPECT_TRUE(w.shares_chunk_with(copy, 1));
  EXPECT_FALSE(w.shares_chunk_with(copy, 2));
  EXPECT_FALSE(w.shares_chunk_with(copy, 3));

  w.remove(200);
  expect_matches(copy, iota_vector(400));
  EXPECT_TRUE(w.shares_chunk_with(copy, 0));
  EXPECT_FALSE(w.shares_chunk_with(copy, 1));
}

TEST(Chunked, TruncateReleasesAndCutsChunks) {
  Words w = iota(300);
  const Words copy = w;
  w.truncate(200);
  EXPECT_EQ(w.chunk_count(), 2u);
  EXPECT_EQ(w.chunk_size(1), 72u);
  EXPECT_EQ(w.chunk_capacity(1), 72u);  // private copy holds just what survives
  EXPECT_TRUE(w.shares_chunk_with(copy, 0));
  EXPECT_FALSE(w.shares_chunk_with(copy, 1));
  expect_matches(w, iota_vector(200));

  // Appending after the cut leaves the common prefix shared with the source.
  w.push(9);
  w.push(10);
  EXPECT_TRUE(w.shares_chunk_with(copy, 0));
  expect_matches(copy, iota_vector(300));

  // A cut on a chunk boundary copies nothing.
  Words boundary = copy;
  boundary.truncate(256);
  EXPECT_TRUE(boundary.shares_chunk_with(copy, 0));
  EXPECT_TRUE(boundary.shares_chunk_with(copy, 1));

  w.truncate(0);
  EXPECT_EQ(w.chunk_count(), 0u);
  EXPECT_EQ(w.len(), 0u);
  EXPECT_EQ(w.begin(), w.end());
}

TEST(Chunked, WriteThroughASharedChunkCopiesExactlyThatChunk) {
  Words w = iota(133);
  const Words copy = w;
  w.set(130, 42);
  EXPECT_EQ(copy[130], 130u);
  EXPECT_EQ(w[130], 42u);
  EXPECT_TRUE(w.shares_chunk_with(copy, 0));
  EXPECT_FALSE(w.shares_chunk_with(copy, 1));
  EXPECT_EQ(w.chunk_capacity(1), 5u);  // room for exactly its current elements

  w.at_mut(3) += 1;
  EXPECT_EQ(copy[3], 3u);
  EXPECT_EQ(w[3], 4u);
  EXPECT_FALSE(w.shares_chunk_with(copy, 0));
}

TEST(Chunked, RangesYieldElementsInOrder) {
  const Words w = iota(300);
  const std::vector<uint32_t> v = iota_vector(300);
  struct Case {
    uint64_t start, end;
  };
  for (const Case c : {Case{0, 0}, Case{0, 300}, Case{100, 300}, Case{128, 256}, Case{127, 129},
                       Case{299, 300}, Case{300, 300}, Case{5, 6}}) {
    const std::vector<uint32_t> want(v.begin() + c.start, v.begin() + c.end);
    std::vector<uint32_t> got;
    for (uint32_t x : w.range(c.start, c.end)) got.push_back(x);
    EXPECT_EQ(got, want) << c.start << ".." << c.end;
    EXPECT_EQ(w.copy_range(c.start, c.end), want) << c.start << ".." << c.end;
  }
  // The end of a full last chunk is reached by stepping, not by a partial one.
  const Words full = iota(256);
  std::vector<uint32_t> got;
  for (uint32_t x : full.range(250, 256)) got.push_back(x);
  EXPECT_EQ(got, (std::vector<uint32_t>{250, 251, 252, 253, 254, 255}));
}

TEST(Chunked, ExtendPairPutsTheLowWordFirst) {
  Words w;
  w.extend(std::vector<uint32_t>{1, 2});
  w.extend_pair(0xaaaa, 0xbbbb);
  expect_matches(w, {1, 2, 0xaaaa, 0xbbbb});
  EXPECT_EQ(w, (Words{1, 2, 0xaaaa, 0xbbbb}));
  EXPECT_NE(w, (Words{1, 2, 0xbbbb, 0xaaaa}));
}

// Random edits on several sequences that share chunks with each other, checked
// against plain vectors. Frozen copies taken along the way must never change.
TEST(Chunked, MatchesVectorUnderRandomEditsOfSharedCopies) {
  std::mt19937_64 rng(0x5eed);
  auto below = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };

  struct Pair {
    Words chunked;
    std::vector<uint32_t> plain;
  };
  std::vector<Pair> live(4);
  for (Pair& p : live) {
    p.chunked = iota(300);
    p.plain = iota_vector(300);
  }
  uint64_t most_chunks = 0;
  std::vector<Pair> frozen;
  uint32_t next_value = 1;

  for (int step = 0; step < 6000; ++step) {
    Pair& p = live[below(live.size())];
    const uint64_t len = p.plain.size();
    const uint64_t op = below(100);

    // Half of the time keep a copy alive across the edit, so that every chunk
    // written is shared, and check the chunks before the edit stay shared.
    std::optional<Words> before;
    uint64_t untouched_chunks = 0;
    if (below(2) == 0) before = p.chunked;

    if (op < 35 || len == 0) {
      p.chunked.push(next_value);
      p.plain.push_back(next_value++);
      untouched_chunks = len / kChunk;
    } else if (op < 55) {
      const uint64_t i = below(len + 1);
      p.chunked.insert(i, next_value);
      p.plain.insert(p.plain.begin() + static_cast<std::ptrdiff_t>(i), next_value++);
      untouched_chunks = i / kChunk;
    } else if (op < 75) {
      const uint64_t i = below(len);
      p.chunked.remove(i);
      p.plain.erase(p.plain.begin() + static_cast<std::ptrdiff_t>(i));
      untouched_chunks = i / kChunk;
    } else if (op < 80) {
      // Cut back and append again, as a re-encoding from a checkpoint does.
      const uint64_t n = len - below(std::min<uint64_t>(len, 200) + 1);
      p.chunked.truncate(n);
      p.plain.resize(n);
      untouched_chunks = n / kChunk;
      for (uint64_t pushes = below(2 * (len - n) + 1); pushes > 0; --pushes) {
        p.chunked.push(next_value);
        p.plain.push_back(next_value++);
      }
    } else if (op < 90) {
      const uint64_t i = below(len);
      p.chunked.set(i, next_value);
      p.plain[i] = next_value++;
      untouched_chunks = i / kChunk;
    } else if (op < 95) {
      live[below(live.size())] = p;  // a new sharer of every chunk of p
    } else {
      if (frozen.size() < 40) {
        frozen.push_back(p);
      } else {
        frozen[below(frozen.size())] = p;
      }
    }

    if (before) {
      for (uint64_t k = 0; k < untouched_chunks && k < p.chunked.chunk_count(); ++k) {
        ASSERT_TRUE(p.chunked.shares_chunk_with(*before, k)) << "step " << step << " chunk " << k;
      }
    }
    ASSERT_NO_FATAL_FAILURE(expect_matches(p.chunked, p.plain)) << "step " << step;
    most_chunks = std::max(most_chunks, p.chunked.chunk_count());
    if (step % 100 == 99) {
      for (const Pair& q : live) ASSERT_NO_FATAL_FAILURE(expect_matches(q.chunked, q.plain));
      for (const Pair& q : frozen) ASSERT_NO_FATAL_FAILURE(expect_matches(q.chunked, q.plain));
    }
    // Keep lengths in the range where several chunks exist.
    if (p.plain.size() > 900) {
      p.chunked.truncate(300);
      p.plain.resize(300);
    }
  }
  for (const Pair& q : frozen) ASSERT_NO_FATAL_FAILURE(expect_matches(q.chunked, q.plain));
  EXPECT_GE(most_chunks, 5u);  // the edits did reach across several chunks
}

}  // namespace
}  // namespace tessel::exchange
