// Files that appear under their final name complete or not at all.
//
// Every file pedscan writes (model files, result text and images, matrix
// files) goes through AtomicFile: the bytes are written to a new temporary
// file beside the final one, "<final>.partial-<pid>-<n>", which is flushed,
// synced and closed, each step checked, and only then renamed to the final
// name. A full disk, a removed directory or a killed process therefore never
// leaves a truncated file under a final name, and an earlier complete file
// stays as it was until the new one replaces it.
//
// A process killed while writing leaves its temporary file behind. Its name
// tells the final file and the process; the next AtomicFile that writes the
// same final file removes such leftovers of processes that no longer run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace pedscan {

class AtomicFile {
 public:
  // Nothing is created until Open.
  explicit AtomicFile(std::string finalPath);
  // Removes the temporary file unless Commit succeeded, also when a Failure
  // unwinds through the writer.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file (after removing the leftovers of killed runs
  // for the same final file). Returns false, with error() set, when it
  // cannot be created.
  bool Open();
  // Appends bytes. After the first failure nothing more is written and every
  // call returns false; error() keeps the first reason.
  bool Write(const void* data, size_t size);
  bool Write(const std::string& text) { return Write(text.data(), text.size()); }
  // printf-style Write.
  bool Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Flushes, syncs and closes the temporary file and renames it to the final
  // name. Returns false, with error() set and the temporary file removed,
  // when any step or any earlier write failed.
  bool Commit();

  const std::string& path() const { return finalPath_; }
  const std::string& temporaryPath() const { return temporaryPath_; }
  // The reason of the first failure, as the system states it ("No space left
  // on device"); empty while nothing failed.
  const std::string& error() const { return error_; }

 private:
  friend class AtomicFileBatch;
  // Flushes and closes the temporary file, syncing it first when `sync`,
  // and renames it when `rename`; on failure removes it.
  bool Finish(bool sync, bool rename);
  bool Fail(const std::string& reason);
  void Discard();

  std::string finalPath_;
  std::string temporaryPath_;
  FILE* file_ = nullptr;
  std::string error_;
  bool committed_ = false;
};

// Many small files written together, such as the thousands of training
// windows of a dataset, with AtomicFile's promise but one sync for all
// instead of one per file (which would cost more than writing them): Add
// writes and closes each under its temporary name, Commit syncs their file
// systems, then renames them all. Files not committed are removed when the
// batch goes, also when a Failure unwinds through the writer.
class AtomicFileBatch {
 public:
  AtomicFileBatch() = default;
  ~AtomicFileBatch();
  AtomicFileBatch(const AtomicFileBatch&) = delete;
  AtomicFileBatch& operator=(const AtomicFileBatch&) = delete;

  // Writes `size` bytes as the whole content of `path`, to appear on Commit.
  // Returns false, with error() set, when they could not be written.
  bool Add(const std::string& path, const void* data, size_t size);
  // Syncs and renames every file added since the last Commit. Returns
  // false, with error() naming the reason, when the sync or a rename fails;
  // the files not yet renamed are then removed.
  bool Commit();
  size_t pending() const { return pending_.size(); }
  const std::string& error() const { return error_; }

 private:
  void DiscardPending();

  struct Pending {
    std::string temporary, final;
  };
  std::vector<Pending> pending_;
  std::string error_;
};

// Writes `size` bytes as the whole content of `path` through an AtomicFile.
// Returns false and sets *reason when the file could not be written
// completely; `path` is then as it was before.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* reason);

// The marker between a final name and the process id in temporary names.
inline constexpr const char* kPartialMarker = ".partial-";

}  // namespace pedscan
