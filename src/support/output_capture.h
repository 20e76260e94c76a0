// Program output held back by a worker thread, so that work done side by
// side can still print in the order one thread would print it.
//
// While an OutputCapture lives on a thread, PrintOutput on that thread
// appends to it instead of writing to standard output; the owner prints the
// text when the work's turn comes. Captures belong to the thread that made
// them and nest (the innermost one collects). Header only, so that the
// numerical core can print through it without a library of its own.
#pragma once

#include <cstdio>
#include <string>

namespace pedscan {

class OutputCapture {
 public:
  OutputCapture() : outer_(Current()) { Current() = &text_; }
  ~OutputCapture() { Current() = outer_; }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything printed on this thread since construction (or the last Take).
  std::string Take() {
    std::string taken;
    taken.swap(text_);
    return taken;
  }

  // The text of the thread's innermost capture; null when none is active.
  static std::string*& Current() {
    thread_local std::string* current = nullptr;
    return current;
  }

 private:
  std::string text_;
  std::string* outer_;
};

// Writes `text` to standard output and flushes it, or appends it to the
// calling thread's capture when one is active.
inline void PrintOutput(const std::string& text) {
  if (std::string* capture = OutputCapture::Current()) {
    capture->append(text);
    return;
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace pedscan
