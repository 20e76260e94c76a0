// Block feature vectors already computed for the current image by one method
// instance, keyed by rectangle.
//
// A new cache holds nothing and owns no storage. Entries live in chunks of
// 4096 entries (one allocation per chunk); Clear forgets every entry but
// frees nothing, so after the first images no allocation happens. The cache
// owns its chunks and its index.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace pedscan {

class FeatureCache {
 public:
  static constexpr int kChunkEntries = 4096;

  // An empty cache for entries of entryLength floats; no storage yet.
  // Requires: entryLength >= 0.
  explicit FeatureCache(int entryLength);

  // True when the rectangle was added since the last Clear.
  bool Check(int x, int y, int width, int height) const;
  // Stores entryLength values in the next free slot (growing by one chunk
  // when all are used) and points the rectangle at it; adding a rectangle
  // again takes a new slot and repoints it.
  void Add(int x, int y, int width, int height, const float* values);
  // Copies the entry of a rectangle stored since the last Clear to out.
  // Throws the fatal Failure when the rectangle is not stored.
  void Retrieve(int x, int y, int width, int height, float* out) const;
  // The stored entry itself, without a copy; it stays in place until the
  // next Clear. Throws the fatal Failure when the rectangle is not stored.
  const float* Entry(int x, int y, int width, int height) const;
  // Forgets every entry; storage stays for the next image.
  void Clear();

  // Packs the four values into 16 bits each (x lowest, height highest):
  // distinct rectangles with every value in 0..65535 never share a key,
  // which covers every rectangle of an image whose windows fit 16 bits.
  // Outside that range only the low 16 bits of each value are packed, so
  // the key is not unique there; the cache keeps such rectangles (negative
  // coordinates, images beyond 65535 pixels) in a separate exact index.
  static int64_t CacheKey(int x, int y, int width, int height);

  // The most the index of one cache can take for rectangles of `sizes`
  // sizes at positions within a width x height image (the entries not
  // counted).
  static int64_t IndexBytes(int width, int height, int sizes);

  int NumberOfChunks() const { return static_cast<int>(chunks_.size()); }
  int UsedSlots() const { return used_; }

 private:
  // Open-addressing hash table (linear probing) from packed key to slot.
  // A bucket is live only when its stamp equals the table's current stamp,
  // so emptying the table is one increment, not a pass over the buckets.
  class KeyIndex {
   public:
    // The slot of key, or -1.
    int Find(uint64_t key) const;
    void Set(uint64_t key, int slot);
    void Clear();

   private:
    struct Bucket {
      uint64_t key;
      int32_t slot;
      uint32_t stamp;
    };
    void Grow();

    std::vector<Bucket> buckets_;  // size is 0 or a power of two
    uint64_t mask_ = 0;
    int shift_ = 64;  // 64 - log2(number of buckets)
    size_t live_ = 0;
    uint32_t stamp_ = 1;
  };

  // A direct index of the rectangles of one size: the slot of the
  // rectangle at (x, y) sits at cells[y * cols + x]. The rectangles of a scan
  // lie on a dense grid of positions, so neighbouring windows read
  // neighbouring cells instead of scattered hash buckets. A cell is live
  // only when its stamp equals the cache's current stamp.
  struct Plane {
    struct Cell {
      int32_t slot;
      uint32_t stamp;
    };
    int width = 0;
    int height = 0;
    int cols = 0;
    int rows = 0;
    bool frozen = false;  // declined to grow once; keeps its cells from then on
    std::vector<Cell> cells;
  };
  // Planes are kept for at most this many sizes (a scan meets a handful per
  // method; the hash index costs a memory miss per operation) and positions
  // below this limit; every other rectangle goes to the hash index.
  static constexpr int kMaxPlanes = 16;
  static constexpr int kPlaneLimit = 4096;
  // At most 32 MiB of cells per plane.
  static constexpr size_t kMaxPlaneCells = size_t{1} << 22;

  // The plane of the size, or null.
  const Plane* FindPlane(int width, int height) const;
  // The plane of the size grown to hold (x, y), made when there is room for
  // another; null when the rectangle goes to the hash index.
  Plane* PlaneFor(int x, int y, int width, int height);
  // Enlarges the cells to hold (x, y), keeping the live ones; false (and
  // nothing changed) when that would pass kMaxPlaneCells.
  static bool GrowPlane(Plane& plane, int x, int y, uint32_t stamp);

  using Rectangle = std::array<int, 4>;

  static bool Packable(int x, int y, int width, int height);
  // The slot the rectangle points at, or -1.
  int FindSlot(int x, int y, int width, int height) const;
  int FindWide(int x, int y, int width, int height) const;
  void SetWide(int x, int y, int width, int height, int slot);
  // Appends one chunk of kChunkEntries entries.
  void GrowStorage();
  // The storage of a slot, computed from the short chunk list (which stays
  // in the processor's cache): a lookup reads the index and then the entry,
  // with no table of slot addresses between them.
  float* SlotData(int slot) const {
    return chunks_[static_cast<size_t>(slot) / kChunkEntries].get() +
           static_cast<size_t>(slot) % kChunkEntries * static_cast<size_t>(entryLength_);
  }
  [[noreturn]] static void FailRetrieve(int x, int y, int width, int height);

  int entryLength_;
  std::vector<Plane> planes_;
  // The plane of each size below kSizeLimit x kSizeLimit, by index into
  // planes_ (-1 for none): a lookup without a search, whose one predictable
  // branch lets consecutive lookups wait on their memory reads together.
  static constexpr int kSizeLimit = 128;
  std::vector<int8_t> planeOfSize_;
  uint32_t planeStamp_ = 1;
  KeyIndex index_;
  // Rectangles with a value outside 0..65535 (none in a normal scan).
  std::map<Rectangle, int> wideIndex_;
  // Chunks start on a cache line, so that an entry whose size is a whole
  // number of lines (16 or 48 floats) spans no more lines than it must.
  static constexpr std::align_val_t kChunkAlignment{64};
  struct ChunkDelete {
    void operator()(float* chunk) const { ::operator delete[](chunk, kChunkAlignment); }
  };
  std::vector<std::unique_ptr<float[], ChunkDelete>> chunks_;
  std::vector<bool> valid_;
  int used_ = 0;
};

}  // namespace pedscan
