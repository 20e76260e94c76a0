#include "features/feature_cache.h"

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/failure.h"

namespace pedscan {
namespace {

using Rectangle = std::array<int, 4>;

constexpr int kEntryLength = 5;

// A distinct entry per rectangle, so a wrong slot is always noticed.
std::vector<float> EntryFor(const Rectangle& r, int salt = 0) {
  std::vector<float> entry(kEntryLength);
  for (int i = 0; i < kEntryLength; ++i) {
    entry[i] = static_cast<float>(r[0] * 7 + r[1] * 131 + r[2] * 3 + r[3] * 17 + salt * 1000 + i);
  }
  return entry;
}

void Add(FeatureCache& cache, const Rectangle& r, int salt = 0) {
  cache.Add(r[0], r[1], r[2], r[3], EntryFor(r, salt).data());
}

std::vector<float> Retrieve(const FeatureCache& cache, const Rectangle& r) {
  std::vector<float> out(kEntryLength, -1.0f);
  cache.Retrieve(r[0], r[1], r[2], r[3], out.data());
  return out;
}

bool Check(const FeatureCache& cache, const Rectangle& r) {
  return cache.Check(r[0], r[1], r[2], r[3]);
}

// Rectangle number i of a grid walk: distinct for distinct i.
Rectangle GridRectangle(int i) { return {(i % 97) * 3, (i / 97) % 211, 8 + i / 20467, 16}; }

TEST(FeatureCache, NewCacheHoldsNothingAndOwnsNoStorage) {
  FeatureCache cache(kEntryLength);
  EXPECT_FALSE(cache.Check(0, 0, 16, 16));
  EXPECT_FALSE(cache.Check(1, 2, 3, 4));
  EXPECT_EQ(cache.NumberOfChunks(), 0);
  EXPECT_EQ(cache.UsedSlots(), 0);
}

TEST(FeatureCache, StorageGrowsByOneChunkPer4096EntriesAndClearReusesIt) {
  FeatureCache cache(kEntryLength);
  Add(cache, GridRectangle(0));
  EXPECT_EQ(cache.NumberOfChunks(), 1);
  for (int i = 1; i < FeatureCache::kChunkEntries; ++i) Add(cache, GridRectangle(i));
  EXPECT_EQ(cache.NumberOfChunks(), 1);
  EXPECT_EQ(cache.UsedSlots(), 4096);
  Add(cache, GridRectangle(4096));
  EXPECT_EQ(cache.NumberOfChunks(), 2);
  EXPECT_EQ(cache.UsedSlots(), 4097);

  cache.Clear();
  EXPECT_EQ(cache.UsedSlots(), 0);
  for (int i = 0; i <= 4096; ++i) ASSERT_FALSE(Check(cache, GridRectangle(i))) << i;

  // The next image fills from slot 0 and allocates nothing until the two
  // chunks it already has are full.
  Add(cache, GridRectangle(5));
  EXPECT_EQ(cache.UsedSlots(), 1);
  EXPECT_EQ(cache.NumberOfChunks(), 2);
  EXPECT_EQ(Retrieve(cache, GridRectangle(5)), EntryFor(GridRectangle(5)));
  for (int i = 1; i < 2 * FeatureCache::kChunkEntries; ++i) Add(cache, GridRectangle(10000 + i));
  EXPECT_EQ(cache.NumberOfChunks(), 2);
  Add(cache, GridRectangle(9999));
  EXPECT_EQ(cache.NumberOfChunks(), 3);
}

TEST(FeatureCache, KeyPacksSixteenBitsPerValue) {
  EXPECT_EQ(FeatureCache::CacheKey(1, 2, 3, 4),
            1 + (int64_t{2} << 16) + (int64_t{3} << 32) + (int64_t{4} << 48));
  // Each value reads back from its own 16 bits, so the key is one-to-one on
  // 0..65535 for every field.
  const int values[] = {0, 1, 4095, 4096, 16383, 16384, 32767, 65534, 65535};
  for (int x : values) {
    for (int y : values) {
      for (int w : values) {
        for (int h : values) {
          uint64_t key = static_cast<uint64_t>(FeatureCache::CacheKey(x, y, w, h));
          ASSERT_EQ(static_cast<int>(key & 0xFFFF), x);
          ASSERT_EQ(static_cast<int>((key >> 16) & 0xFFFF), y);
          ASSERT_EQ(static_cast<int>((key >> 32) & 0xFFFF), w);
          ASSERT_EQ(static_cast<int>(key >> 48), h);
        }
      }
    }
  }
}

TEST(FeatureCache, RectanglesThatSharedANarrowKeyAreKeptApart) {
  // Under x | y << 12 | width << 26 | height << 36 these pairs collided.
  const Rectangle pairs[][2] = {
      {{4096, 0, 16, 16}, {0, 1, 16, 16}},
      {{0, 16384, 16, 16}, {0, 0, 17, 16}},
      {{0, 0, 1024, 16}, {0, 0, 0, 17}},
  };
  for (const auto& pair : pairs) {
    EXPECT_NE(FeatureCache::CacheKey(pair[0][0], pair[0][1], pair[0][2], pair[0][3]),
              FeatureCache::CacheKey(pair[1][0], pair[1][1], pair[1][2], pair[1][3]));
    FeatureCache cache(kEntryLength);
    Add(cache, pair[0]);
    EXPECT_FALSE(Check(cache, pair[1]));
    Add(cache, pair[1]);
    EXPECT_EQ(Retrieve(cache, pair[0]), EntryFor(pair[0]));
    EXPECT_EQ(Retrieve(cache, pair[1]), EntryFor(pair[1]));
  }
}

TEST(FeatureCache, RectanglesBeyondSixteenBitsAreKeptApartToo) {
  FeatureCache cache(kEntryLength);
  const Rectangle rects[] = {{-1, 0, 16, 16},    {65535, 0, 16, 16}, {65536, 0, 16, 16},
                             {0, 0, 16, 16},     {0, -65536, 16, 16}, {0, 0, 65536 + 16, 16},
                             {0, 0, 16, 65536 + 16}};
  for (const Rectangle& r : rects) {
    EXPECT_FALSE(Check(cache, r));
    Add(cache, r);
  }
  for (const Rectangle& r : rects) {
    EXPECT_TRUE(Check(cache, r));
    EXPECT_EQ(Retrieve(cache, r), EntryFor(r));
  }
  Add(cache, rects[0], 1);
  EXPECT_EQ(Retrieve(cache, rects[0]), EntryFor(rects[0], 1));
  cache.Clear();
  for (const Rectangle& r : rects) EXPECT_FALSE(Check(cache, r));
}

TEST(FeatureCache, EntriesMatchAPlainMapOverManyImages) {
  FeatureCache cache(kEntryLength);
  std::mt19937 random(7);
  for (int image = 0; image < 4; ++image) {
    // Enough distinct rectangles to grow the index several times.
    std::map<Rectangle, std::vector<float>> reference;
    int count = 3000 + image * 9000;
    for (int i = 0; i < count; ++i) {
      Rectangle r = GridRectangle(static_cast<int>(random() % 60000));
      if (Check(cache, r)) {
        ASSERT_TRUE(reference.count(r));
        continue;
      }
      ASSERT_FALSE(reference.count(r));
      Add(cache, r, image);
      reference[r] = EntryFor(r, image);
    }
    EXPECT_EQ(cache.UsedSlots(), static_cast<int>(reference.size()));
    for (const auto& [r, entry] : reference) {
      ASSERT_TRUE(Check(cache, r));
      ASSERT_EQ(Retrieve(cache, r), entry);
    }
    cache.Clear();
    for (const auto& [r, entry] : reference) ASSERT_FALSE(Check(cache, r));
  }
}

// Many sizes (more than get a direct position index), positions from
// negative to beyond sixteen bits, and grids wide enough to refuse growing:
// every path through the indexes must agree with a plain map.
TEST(FeatureCache, EveryIndexPathMatchesAPlainMap) {
  FeatureCache cache(kEntryLength);
  std::mt19937 random(11);
  const int positions[] = {-70000, -3, 0, 1, 5, 63, 64, 700, 2047, 2048, 3000, 4095, 4096, 70000};
  auto pick = [&](int range) { return static_cast<int>(random() % static_cast<unsigned>(range)); };
  for (int image = 0; image < 3; ++image) {
    std::map<Rectangle, std::vector<float>> reference;
    for (int i = 0; i < 20000; ++i) {
      Rectangle r;
      if (pick(4) == 0) {
        r = {positions[pick(14)], positions[pick(14)], 8 * pick(12), 8 * pick(3) - 4};
      } else {
        r = {pick(900), pick(600), 8 * pick(12), 16};
      }
      bool stored = reference.count(r) != 0;
      ASSERT_EQ(Check(cache, r), stored);
      if (!stored || pick(8) == 0) {
        Add(cache, r, image + i);
        reference[r] = EntryFor(r, image + i);
      }
    }
    for (const auto& [r, entry] : reference) {
      ASSERT_TRUE(Check(cache, r));
      ASSERT_EQ(Retrieve(cache, r), entry);
    }
    cache.Clear();
    for (const auto& [r, entry] : reference) ASSERT_FALSE(Check(cache, r));
  }
}

TEST(FeatureCache, AddingARectangleAgainRepointsItsKey) {
  FeatureCache cache(kEntryLength);
  Rectangle r{8, 16, 16, 16};
  Add(cache, r, 1);
  Add(cache, r, 2);
  EXPECT_EQ(cache.UsedSlots(), 2);
  EXPECT_EQ(Retrieve(cache, r), EntryFor(r, 2));
}

TEST(FeatureCache, RetrievingARectangleNotStoredIsFatal) {
  FeatureCache cache(kEntryLength);
  const std::string expected =
      ".\\feature_cache.cpp(FeatureCache::Retrieve.61): \n"
      "  no features stored for block (1, 2, 3, 4)\n";
  auto expectFatal = [&] {
    try {
      Retrieve(cache, {1, 2, 3, 4});
      ADD_FAILURE() << "no failure";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.form(), Failure::Form::kFatal);
      EXPECT_EQ(failure.status(), -1);
      EXPECT_EQ(failure.text(), expected);
    }
  };
  expectFatal();
  Add(cache, {1, 2, 3, 4});
  cache.Clear();
  expectFatal();
}

}  // namespace
}  // namespace pedscan
