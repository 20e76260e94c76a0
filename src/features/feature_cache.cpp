#include "features/feature_cache.h"

#include <algorithm>
#include <cstring>

#include "support/failure.h"

namespace pedscan {

namespace {

constexpr const char* kSource = "feature_cache";
// Retrieve of a rectangle that was not stored since the last Clear.
constexpr int kRetrieveMissingLine = 61;

// The table doubles before it is half full, which keeps linear probes short.
constexpr size_t kInitialBuckets = size_t{1} << 13;

// Spreads the packed fields over the buckets. The fold is one-to-one and
// brings the width and height into the low half; the odd multiplier carries
// every bit into the top bits, which pick the bucket.
inline uint64_t Mix(uint64_t key) { return (key ^ (key >> 32)) * 0x9E3779B97F4A7C15ull; }

}  // namespace

int FeatureCache::KeyIndex::Find(uint64_t key) const {
  if (buckets_.empty()) return -1;
  for (uint64_t b = Mix(key) >> shift_;; b = (b + 1) & mask_) {
    const Bucket& bucket = buckets_[b];
    if (bucket.stamp != stamp_) return -1;
    if (bucket.key == key) return bucket.slot;
  }
}

void FeatureCache::KeyIndex::Set(uint64_t key, int slot) {
  if (__builtin_expect((live_ + 1) * 2 > buckets_.size(), 0)) Grow();
  for (uint64_t b = Mix(key) >> shift_;; b = (b + 1) & mask_) {
    Bucket& bucket = buckets_[b];
    if (bucket.stamp != stamp_) {
      bucket = Bucket{key, slot, stamp_};
      ++live_;
      return;
    }
    if (bucket.key == key) {
      bucket.slot = slot;
      return;
    }
  }
}

void FeatureCache::KeyIndex::Clear() {
  live_ = 0;
  if (++stamp_ == 0) {
    // The stamp wrapped: old buckets could look live again, so retire them.
    for (Bucket& bucket : buckets_) bucket.stamp = 0;
    stamp_ = 1;
  }
}

__attribute__((noinline)) void FeatureCache::KeyIndex::Grow() {
  std::vector<Bucket> old;
  old.swap(buckets_);
  uint32_t oldStamp = stamp_;
  buckets_.assign(old.empty() ? kInitialBuckets : old.size() * 2, Bucket{0, 0, 0});
  mask_ = buckets_.size() - 1;
  shift_ = 64;
  for (size_t n = buckets_.size(); n > 1; n >>= 1) --shift_;
  stamp_ = 1;
  live_ = 0;
  for (const Bucket& bucket : old) {
    if (bucket.stamp == oldStamp) Set(bucket.key, bucket.slot);
  }
}

FeatureCache::FeatureCache(int entryLength) : entryLength_(entryLength) {}

bool FeatureCache::Packable(int x, int y, int width, int height) {
  return static_cast<unsigned>(x) <= 0xFFFFu && static_cast<unsigned>(y) <= 0xFFFFu &&
         static_cast<unsigned>(width) <= 0xFFFFu && static_cast<unsigned>(height) <= 0xFFFFu;
}

int64_t FeatureCache::CacheKey(int x, int y, int width, int height) {
  uint64_t key = static_cast<uint64_t>(static_cast<uint16_t>(x)) |
                 static_cast<uint64_t>(static_cast<uint16_t>(y)) << 16 |
                 static_cast<uint64_t>(static_cast<uint16_t>(width)) << 32 |
                 static_cast<uint64_t>(static_cast<uint16_t>(height)) << 48;
  return static_cast<int64_t>(key);
}

// The rare paths live out of line so that the hot Check, Add and Retrieve
// stay small: with fewer registers to save, consecutive calls overlap their
// index misses instead of waiting for each one in turn.
__attribute__((noinline)) int FeatureCache::FindWide(int x, int y, int width, int height) const {
  auto it = wideIndex_.find(Rectangle{x, y, width, height});
  return it == wideIndex_.end() ? -1 : it->second;
}

__attribute__((noinline)) void FeatureCache::SetWide(int x, int y, int width, int height,
                                                     int slot) {
  wideIndex_[Rectangle{x, y, width, height}] = slot;
}

__attribute__((noinline)) void FeatureCache::GrowStorage() {
  size_t entry = static_cast<size_t>(entryLength_);
  chunks_.emplace_back(static_cast<float*>(
      ::operator new[](kChunkEntries * entry * sizeof(float), kChunkAlignment)));
  valid_.resize(valid_.size() + kChunkEntries, false);
}

__attribute__((noinline)) void FeatureCache::FailRetrieve(int x, int y, int width, int height) {
  Fatal(kSource, "FeatureCache::Retrieve", kRetrieveMissingLine,
        Format("no features stored for block (%d, %d, %d, %d)", x, y, width, height));
}

inline const FeatureCache::Plane* FeatureCache::FindPlane(int width, int height) const {
  if (static_cast<unsigned>(width) < static_cast<unsigned>(kSizeLimit) &&
      static_cast<unsigned>(height) < static_cast<unsigned>(kSizeLimit)) {
    if (planeOfSize_.empty()) return nullptr;
    const int index = planeOfSize_[static_cast<size_t>(height) * kSizeLimit + width];
    return index < 0 ? nullptr : &planes_[static_cast<size_t>(index)];
  }
  for (const Plane& plane : planes_) {
    if (plane.width == width && plane.height == height) return &plane;
  }
  return nullptr;
}

__attribute__((noinline)) bool FeatureCache::GrowPlane(Plane& plane, int x, int y,
                                                       uint32_t stamp) {
  // Doubling keeps the number of regrowths per level small while the
  // first rows of a scan arrive.
  int cols = std::min(std::max({x + 1, plane.cols * 2, 64}), kPlaneLimit);
  int rows = std::min(std::max({y + 1, plane.rows * 2, 64}), kPlaneLimit);
  cols = std::max(cols, plane.cols);
  rows = std::max(rows, plane.rows);
  if (static_cast<size_t>(cols) * static_cast<size_t>(rows) > kMaxPlaneCells) return false;
  std::vector<Plane::Cell> cells(static_cast<size_t>(cols) * static_cast<size_t>(rows),
                                 Plane::Cell{-1, 0});
  for (int r = 0; r < plane.rows; ++r) {
    for (int c = 0; c < plane.cols; ++c) {
      const Plane::Cell& cell = plane.cells[static_cast<size_t>(r) * plane.cols + c];
      if (cell.stamp == stamp) cells[static_cast<size_t>(r) * cols + c] = cell;
    }
  }
  plane.cells.swap(cells);
  plane.cols = cols;
  plane.rows = rows;
  return true;
}

inline FeatureCache::Plane* FeatureCache::PlaneFor(int x, int y, int width, int height) {
  if (static_cast<unsigned>(x) >= static_cast<unsigned>(kPlaneLimit) ||
      static_cast<unsigned>(y) >= static_cast<unsigned>(kPlaneLimit)) {
    return nullptr;
  }
  Plane* plane = const_cast<Plane*>(FindPlane(width, height));
  if (plane == nullptr) {
    // Planes are never dropped, so a size that has none now never had one
    // and none of its rectangles is in a plane; the ones hashed meanwhile
    // (when every plane was taken, or outside the limit) stay outside the
    // cells of any plane made later, which Find reads only inside them.
    if (static_cast<int>(planes_.size()) == kMaxPlanes) return nullptr;
    planes_.emplace_back();
    plane = &planes_.back();
    plane->width = width;
    plane->height = height;
    if (static_cast<unsigned>(width) < static_cast<unsigned>(kSizeLimit) &&
        static_cast<unsigned>(height) < static_cast<unsigned>(kSizeLimit)) {
      if (planeOfSize_.empty()) planeOfSize_.assign(kSizeLimit * kSizeLimit, -1);
      planeOfSize_[static_cast<size_t>(height) * kSizeLimit + width] =
          static_cast<int8_t>(planes_.size() - 1);
    }
  }
  if (x >= plane->cols || y >= plane->rows) {
    // A plane that once declined to grow keeps its cells: the rectangles
    // hashed beyond them must stay outside.
    if (plane->frozen) return nullptr;
    if (!GrowPlane(*plane, x, y, planeStamp_)) {
      plane->frozen = true;
      return nullptr;
    }
  }
  return plane;
}

inline int FeatureCache::FindSlot(int x, int y, int width, int height) const {
  if (const Plane* plane = FindPlane(width, height)) {
    if (static_cast<unsigned>(x) < static_cast<unsigned>(plane->cols) &&
        static_cast<unsigned>(y) < static_cast<unsigned>(plane->rows)) {
      const Plane::Cell& cell =
          plane->cells[static_cast<size_t>(y) * static_cast<size_t>(plane->cols) + x];
      return cell.stamp == planeStamp_ ? cell.slot : -1;
    }
    // Outside the plane's cells: either beyond every position stored so far
    // (not stored) or beyond the plane limit or negative (hash index).
  }
  if (__builtin_expect(!Packable(x, y, width, height), 0)) return FindWide(x, y, width, height);
  return index_.Find(static_cast<uint64_t>(CacheKey(x, y, width, height)));
}

bool FeatureCache::Check(int x, int y, int width, int height) const {
  int slot = FindSlot(x, y, width, height);
  return slot >= 0 && valid_[static_cast<size_t>(slot)];
}

void FeatureCache::Add(int x, int y, int width, int height, const float* values) {
  if (__builtin_expect(static_cast<size_t>(used_) == valid_.size(), 0)) GrowStorage();
  int slot = used_++;
  valid_[static_cast<size_t>(slot)] = true;
  if (entryLength_ > 0) {
    std::memcpy(SlotData(slot), values,
                static_cast<size_t>(entryLength_) * sizeof(float));
  }
  if (Plane* plane = PlaneFor(x, y, width, height)) {
    plane->cells[static_cast<size_t>(y) * static_cast<size_t>(plane->cols) + x] =
        Plane::Cell{slot, planeStamp_};
  } else if (__builtin_expect(!Packable(x, y, width, height), 0)) {
    SetWide(x, y, width, height, slot);
  } else {
    index_.Set(static_cast<uint64_t>(CacheKey(x, y, width, height)), slot);
  }
}

void FeatureCache::Retrieve(int x, int y, int width, int height, float* out) const {
  if (entryLength_ > 0) {
    std::memcpy(out, Entry(x, y, width, height), static_cast<size_t>(entryLength_) * sizeof(float));
  } else {
    Entry(x, y, width, height);
  }
}

const float* FeatureCache::Entry(int x, int y, int width, int height) const {
  int slot = FindSlot(x, y, width, height);
  if (__builtin_expect(slot < 0, 0)) FailRetrieve(x, y, width, height);
  return SlotData(slot);
}

void FeatureCache::Clear() {
  used_ = 0;
  std::fill(valid_.begin(), valid_.end(), false);
  index_.Clear();
  wideIndex_.clear();
  if (++planeStamp_ == 0) {
    // The stamp wrapped: old cells could look live again, so retire them.
    for (Plane& plane : planes_) {
      for (Plane::Cell& cell : plane.cells) cell.stamp = 0;
    }
    planeStamp_ = 1;
  }
}

int64_t FeatureCache::IndexBytes(int width, int height, int sizes) {
  const int64_t positions = int64_t{std::max(width, 0)} * std::max(height, 0);
  const int64_t planes = std::min(sizes, kMaxPlanes);
  const int64_t cells = std::min<int64_t>(positions, static_cast<int64_t>(kMaxPlaneCells));
  return planes * cells * static_cast<int64_t>(sizeof(Plane::Cell));
}

}  // namespace pedscan
