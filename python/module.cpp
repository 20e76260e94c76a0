// The module `pedscan`: its exception, the capture of printed progress, model
// files read into Python, and the registration of every part.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "support/failure.h"

namespace pedscan {
namespace python {
namespace {

// Captures are process-wide (they move file descriptor 1), so they are
// taken one at a time.
std::mutex& CaptureMutex() {
  static std::mutex mutex;
  return mutex;
}

// The exit status the command line would end with: a fatal report's -1 as
// the shell sees it.
int ShellStatus(int status) { return status & 0xff; }

}  // namespace

HeldOutput::HeldOutput() {
  CaptureMutex().lock();
  std::fflush(stdout);
  FILE* file = std::tmpfile();
  if (file == nullptr) return;  // nothing held back: the text goes where it went
  file_ = dup(fileno(file));
  std::fclose(file);
  saved_ = dup(STDOUT_FILENO);
  if (file_ < 0 || saved_ < 0 || dup2(file_, STDOUT_FILENO) < 0) {
    if (file_ >= 0) close(file_);
    if (saved_ >= 0) close(saved_);
    file_ = saved_ = -1;
  }
}

HeldOutput::~HeldOutput() { End(); }

void HeldOutput::End() {
  if (ended_) return;
  ended_ = true;
  std::fflush(stdout);
  if (saved_ >= 0) {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    // The temporary file is read back from its start.
    if (lseek(file_, 0, SEEK_SET) == 0) {
      char buffer[65536];
      ssize_t got = 0;
      while ((got = read(file_, buffer, sizeof buffer)) > 0) text_.append(buffer, got);
    }
    close(file_);
  }
  CaptureMutex().unlock();
}

std::string HeldOutput::Text() {
  End();
  return text_;
}

void Report(const std::string& text, const py::object& progress) {
  if (text.empty()) return;
  py::object sink = progress;
  if (sink.is_none()) sink = py::module_::import("logging").attr("getLogger")("pedscan").attr("debug");
  std::string line;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!line.empty()) sink(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) sink(line);
}

}  // namespace python
}  // namespace pedscan

namespace py = pybind11;

PYBIND11_MODULE(_pedscan, module) {
  module.doc() =
      "pedscan: object detection with HOG, colour-frequency and co-occurrence features, "
      "Partial Least Squares and QDA, over image pyramids.\n\n"
      "Images are numpy uint8 arrays, H x W x 3, BGR as cv2.imread gives them; boxes are "
      "x, y, w, h in frame pixels. Every library failure raises pedscan.Error; what the "
      "library prints goes to a progress callback or to the 'pedscan' logger (DEBUG).";

  module.attr("__version__") = PEDSCAN_VERSION;

  static py::exception<pedscan::Failure> error(module, "Error");
  error.doc() =
      "A failure of the library. .message holds the text the command line prints, .status "
      "the status it would exit with (255 for a fatal report, 2 for a plain message, 1 for a "
      "command-line error).";
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const pedscan::Failure& caught) {
      // The class is called for an instance; the exception object's own
      // call operator would only set the message.
      py::object type = py::reinterpret_borrow<py::object>(error.ptr());
      py::object instance = type(caught.text());
      instance.attr("message") = caught.text();
      instance.attr("status") = pedscan::python::ShellStatus(caught.status());
      PyErr_SetObject(error.ptr(), instance.ptr());
    }
  });

  pedscan::python::BindDetection(module);
  pedscan::python::BindTraining(module);
  pedscan::python::BindEvaluation(module);
  pedscan::python::BindSource(module);
}
