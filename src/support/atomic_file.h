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
  bool Fail(const std::string& reason);
  void Discard();

  std::string finalPath_;
  std::string temporaryPath_;
  FILE* file_ = nullptr;
  std::string error_;
  bool committed_ = false;
};

// Writes `size` bytes as the whole content of `path` through an AtomicFile.
// Returns false and sets *reason when the file could not be written
// completely; `path` is then as it was before.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* reason);

// The marker between a final name and the process id in temporary names.
inline constexpr const char* kPartialMarker = ".partial-";

}  // namespace pedscan
