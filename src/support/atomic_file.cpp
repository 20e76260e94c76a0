#include "support/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "support/failure.h"
#include "support/text.h"

namespace pedscan {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

// True when `text` is one or more decimal digits.
bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ProcessRuns(long pid) {
  if (pid <= 0 || pid == static_cast<long>(getpid())) return true;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The leftovers of killed runs, found by listing each directory once per
// process (a video's thousands of result files must not list the output
// directory thousands of times), by final name.
class Leftovers {
 public:
  // Removes the leftovers of `finalPath`.
  void RemoveFor(const std::string& finalPath) {
    const std::string directory = DirectoryOf(finalPath);
    std::vector<std::string> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto listed = byDirectory_.find(directory);
      if (listed == byDirectory_.end()) listed = byDirectory_.emplace(directory, List(directory)).first;
      auto entry = listed->second.find(FileName(finalPath));
      if (entry == listed->second.end()) return;
      doomed = std::move(entry->second);
      listed->second.erase(entry);
    }
    for (const std::string& name : doomed) std::remove(JoinPath(directory, name).c_str());
  }

 private:
  using ByFinalName = std::map<std::string, std::vector<std::string>>;

  static ByFinalName List(const std::string& directory) {
    ByFinalName found;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return found;
    const std::string marker = kPartialMarker;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      const size_t at = name.rfind(marker);
      if (at == std::string::npos || at == 0) continue;
      const std::string tail = name.substr(at + marker.size());
      const size_t dash = tail.find('-');
      if (dash == std::string::npos) continue;
      const std::string pid = tail.substr(0, dash);
      if (!AllDigits(pid) || !AllDigits(tail.substr(dash + 1)) || pid.size() > 9) continue;
      if (ProcessRuns(std::stol(pid))) continue;
      found[name.substr(0, at)].push_back(name);
    }
    closedir(dir);
    return found;
  }

  std::mutex mutex_;
  std::map<std::string, ByFinalName> byDirectory_;
};

Leftovers& TheLeftovers() {
  static Leftovers leftovers;
  return leftovers;
}

std::atomic<long> temporaryCounter{0};

}  // namespace

AtomicFile::AtomicFile(std::string finalPath) : finalPath_(std::move(finalPath)) {}

AtomicFile::~AtomicFile() {
  if (!committed_) Discard();
}

bool AtomicFile::Open() {
  TheLeftovers().RemoveFor(finalPath_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = Format("%s%s%ld-%ld", finalPath_.c_str(), kPartialMarker,
                              static_cast<long>(getpid()), temporaryCounter.fetch_add(1));
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return Fail(ErrorText(errno));
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
      const int error = errno;
      close(fd);
      std::remove(name.c_str());
      return Fail(ErrorText(error));
    }
    temporaryPath_ = std::move(name);
    return true;
  }
  return Fail(ErrorText(EEXIST));
}

bool AtomicFile::Write(const void* data, size_t size) {
  if (!error_.empty()) return false;
  if (file_ == nullptr) return Fail("not open");
  if (size > 0 && std::fwrite(data, 1, size, file_) != size) return Fail(ErrorText(errno));
  return true;
}

bool AtomicFile::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatList(format, args);
  va_end(args);
  return Write(text);
}

bool AtomicFile::Commit() { return Finish(true, true); }

bool AtomicFile::Finish(bool sync, bool rename) {
  if (!error_.empty() || file_ == nullptr) {
    if (error_.empty()) Fail("not open");
    Discard();
    return false;
  }
  // Each step can be the first to see a full disk: the buffer is written out
  // by fflush, delayed allocation may fail only at fsync, and some file
  // systems report at close.
  bool ok = std::fflush(file_) == 0 || Fail(ErrorText(errno));
  ok = ok && (!sync || fsync(fileno(file_)) == 0 || errno == EINVAL || Fail(ErrorText(errno)));
  const int closed = std::fclose(file_);
  const int closeError = errno;
  file_ = nullptr;
  ok = ok && (closed == 0 || Fail(ErrorText(closeError)));
  ok = ok && (!rename || std::rename(temporaryPath_.c_str(), finalPath_.c_str()) == 0 ||
              Fail(ErrorText(errno)));
  if (!ok) {
    Discard();
    return false;
  }
  committed_ = true;
  if (rename) temporaryPath_.clear();
  return true;
}

bool AtomicFile::Fail(const std::string& reason) {
  if (error_.empty()) error_ = reason;
  return false;
}

void AtomicFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporaryPath_.empty()) {
    std::remove(temporaryPath_.c_str());
    temporaryPath_.clear();
  }
}

AtomicFileBatch::~AtomicFileBatch() { DiscardPending(); }

bool AtomicFileBatch::Add(const std::string& path, const void* data, size_t size) {
  AtomicFile file(path);
  if (!(file.Open() && file.Write(data, size) && file.Finish(false, false))) {
    error_ = file.error();
    return false;
  }
  pending_.push_back({file.temporaryPath(), path});
  return true;
}

bool AtomicFileBatch::Commit() {
  // One syncfs per directory writes back every file added there (and
  // reports a write-back failure of any of them, as fsync would).
  std::vector<std::string> directories;
  for (const Pending& p : pending_) {
    const std::string directory = DirectoryOf(p.final);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end())
      directories.push_back(directory);
  }
  for (const std::string& directory : directories) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && syncfs(fd) == 0;
    const int error = errno;
    if (fd >= 0) close(fd);
    if (!synced) {
      error_ = ErrorText(error);
      DiscardPending();
      return false;
    }
  }
  for (size_t i = 0; i < pending_.size(); ++i) {
    if (std::rename(pending_[i].temporary.c_str(), pending_[i].final.c_str()) != 0) {
      error_ = pending_[i].final + ": " + ErrorText(errno);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i));
      DiscardPending();
      return false;
    }
  }
  pending_.clear();
  return true;
}

void AtomicFileBatch::DiscardPending() {
  for (const Pending& p : pending_) std::remove(p.temporary.c_str());
  pending_.clear();
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* reason) {
  AtomicFile file(path);
  if (file.Open() && file.Write(data, size) && file.Commit()) return true;
  if (reason != nullptr) *reason = file.error();
  return false;
}

}  // namespace pedscan
