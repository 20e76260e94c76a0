// Helpers for tests that run a program as a user would: a shell command
// with its standard output, standard error and exit status captured, and a
// temporary directory that disappears with the test.
//
// Header only; include it as "../support/run_command.h" from a test folder.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pedscan {
namespace testutil {

// The address and thread sanitizers reserve terabytes of address space, so
// an address-space limit (ulimit -v) cannot be used in their builds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
inline constexpr bool kReservesAddressSpace = kAddressSanitizer || kThreadSanitizer;

struct CommandResult {
  int status = -1;  // exit status as the shell sees it (0..255; 128+n for signal n)
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// A fresh directory under the system temporary directory, removed with its
// contents on destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pedscan-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory (nothing is created).
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Creates a subdirectory (and its parents) and returns its path.
  std::string MakeDir(const std::string& name) const {
    std::filesystem::create_directories(File(name));
    return File(name);
  }
  // Writes `contents` to `name` and returns its path.
  std::string WriteFile(const std::string& name, const std::string& contents) const {
    std::ofstream(File(name), std::ios::binary) << contents;
    return File(name);
  }

 private:
  std::string path_;
};

// Quotes one word for /bin/sh, so that paths with blanks or quotes survive.
inline std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream contents;
  contents << stream.rdbuf();
  return contents.str();
}

// Runs `command` with /bin/sh and waits for it. Standard input is empty.
inline CommandResult RunCommand(const std::string& command) {
  TempDir capture;
  const std::string outPath = capture.File("stdout");
  const std::string errPath = capture.File("stderr");
  const std::string full =
      "( " + command + " ) </dev/null >" + ShellQuote(outPath) + " 2>" + ShellQuote(errPath);
  std::fflush(nullptr);
  const int raw = std::system(full.c_str());
  CommandResult result;
  if (raw != -1 && WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
  } else if (raw != -1 && WIFSIGNALED(raw)) {
    result.status = 128 + WTERMSIG(raw);
  }
  result.out = ReadWholeFile(outPath);
  result.err = ReadWholeFile(errPath);
  return result;
}

#ifdef PEDSCAN_BINARY
// Runs the pedscan under test with `arguments` (shell words) inside `directory`.
inline CommandResult RunPedscanIn(const std::string& directory, const std::string& arguments) {
  return RunCommand("cd " + ShellQuote(directory) + " && " + ShellQuote(PEDSCAN_BINARY) + " " +
                    arguments);
}
#endif

}  // namespace testutil
}  // namespace pedscan
