// Block feature vectors already computed for the current image by one method
// instance, keyed by rectangle. Storage grows in chunks of 4096 entries and is
// reused from image to image (Clear frees nothing).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace pedscan {

class FeatureCache {
 public:
  static constexpr int kChunkEntries = 4096;

  // An empty cache for entries of entryLength floats; no storage yet.
  explicit FeatureCache(int entryLength);

  bool Check(int x, int y, int width, int height) const;
  void Add(int x, int y, int width, int height, const float* values);
  // Copies the entry of a rectangle stored since the last Clear.
  void Retrieve(int x, int y, int width, int height, float* out) const;
  void Clear();

  // The key packs the four values into 64 bits; wide enough that distinct
  // rectangles of any 16-bit image never share a key.
  static int64_t CacheKey(int x, int y, int width, int height);

  int NumberOfChunks() const { return static_cast<int>(chunks_.size()); }
  int UsedSlots() const { return used_; }

 private:
  int entryLength_;
  // index and storage owned by the implementation
  struct Index;
  std::shared_ptr<Index> index_;
  std::vector<std::unique_ptr<float[]>> chunks_;
  std::vector<float*> slots_;
  std::vector<bool> valid_;
  int used_ = 0;
};

}  // namespace pedscan
