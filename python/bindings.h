// What the parts of the Python module share: how each part registers its
// names, how a library failure becomes pedscan.Error, and how the text the
// library prints reaches Python instead of the terminal.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace cv {
class Mat;
}

namespace pedscan {
namespace python {

namespace py = pybind11;

// Each part adds its classes and functions to the module.
void BindDetection(py::module_& module);
void BindTraining(py::module_& module);
void BindEvaluation(py::module_& module);
void BindSource(py::module_& module);

// An 8-bit, 3-channel frame copied into a new numpy array, H x W x 3.
py::array_t<uint8_t> FrameArray(const cv::Mat& frame);

// Holds back what the library prints on standard output (training and
// extraction report their progress there) while alive, from every thread:
// file descriptor 1 goes to a temporary file. Text() gives it once the
// call is over. Captures are taken one at a time across the process; a
// second waits for the first to end.
class HeldOutput {
 public:
  HeldOutput();
  ~HeldOutput();
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;
  // Ends the capture (if still on) and returns what was printed.
  std::string Text();

 private:
  void End();
  int saved_ = -1;
  int file_ = -1;
  bool ended_ = false;
  std::string text_;
};

// Hands printed text to `progress` (a callable taking one str) when given,
// else to the "pedscan" logger at DEBUG level, one call per line; a "\r"
// ends a line too. Call with the interpreter lock held.
void Report(const std::string& text, const py::object& progress);

}  // namespace python
}  // namespace pedscan
