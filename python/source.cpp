// pedscan.input_frames and pedscan.read_video_frames: the frames of an input
// as the command line names and reads them, for callers that spread them
// over several processes.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "source/samples.h"
#include "support/failure.h"
#include "support/text.h"

namespace pedscan {
namespace python {
namespace {

// The kind of an input and its frames: (result name, image path) for a
// directory or an image, (result name, frame number) for a video.
using NamedFrames = std::vector<std::pair<std::string, py::object>>;

std::pair<std::string, NamedFrames> InputFrames(const std::string& input,
                                                const std::string& filemask, int first, int last,
                                                int step) {
  InputKind kind;
  std::vector<std::string> files;
  int frames = 0;
  {
    py::gil_scoped_release released;
    kind = ClassifyInput(input);
    if (kind == InputKind::kDirectory) {
      files = Samples::ReadDirectory(input, filemask);
    } else if (kind == InputKind::kVideo) {
      // Counted by reading, as the command line counts them.
      SourceOptions options;
      options.input = input;
      options.isVideo = true;
      options.videoFirst = first;
      options.videoLast = last;
      options.videoStep = step;
      Samples samples;
      samples.ReadInput(options, nullptr);
      frames = samples.NumberOfFrames();
    } else {
      files = {input};
    }
  }
  // Samples' normalisation of the range: the last frame bounds videos only.
  first = std::max(first, 0);
  step = std::max(step, 1);
  NamedFrames named;
  if (kind == InputKind::kVideo) {
    for (int i = 0; i < frames; ++i) {
      const int n = first + i * step;
      named.emplace_back(Format("%s%.8d", FileStem(input).c_str(), n), py::int_(n));
    }
    return {"video", std::move(named)};
  }
  for (size_t i = static_cast<size_t>(first); i < files.size(); i += static_cast<size_t>(step)) {
    named.emplace_back(FileStem(files[i]), py::str(files[i]));
  }
  return {kind == InputKind::kDirectory ? "directory" : "image", std::move(named)};
}

// Frames first, first + step, ... (count of them) of a video. The capture
// is moved to the first frame directly; when the back end cannot say it got
// there, the video is read from its start instead.
std::vector<py::array_t<uint8_t>> ReadVideoFrames(const std::string& path, int first, int count,
                                                  int step) {
  if (first < 0 || count < 0 || step < 1) {
    throw py::value_error("frames are first >= 0, count >= 0, step >= 1");
  }
  std::vector<cv::Mat> frames;
  {
    py::gil_scoped_release released;
    // Each back end tried reports its failures on stderr; ours names the file.
    const auto level = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::VideoCapture capture = OpenVideoFile(path);
    int position = 0;
    if (capture.isOpened() && first > 0) {
      if (capture.set(cv::CAP_PROP_POS_FRAMES, first) &&
          static_cast<int>(capture.get(cv::CAP_PROP_POS_FRAMES)) == first) {
        position = first;
      } else {
        capture = OpenVideoFile(path);
      }
    }
    cv::utils::logging::setLogLevel(level);
    if (!capture.isOpened()) FailPlain(Format("unable to read input video '%s'\n", path.c_str()));
    for (int k = 0; k < count; ++k) {
      const int n = first + k * step;
      cv::Mat frame;
      bool read = true;
      for (; read && position < n; ++position) read = capture.grab();
      read = read && capture.read(frame) && !frame.empty();
      ++position;
      if (!read) FailPlain(Format("unable to read frame %d of video '%s'\n", n, path.c_str()));
      frames.push_back(frame);
    }
  }
  std::vector<py::array_t<uint8_t>> arrays;
  for (const cv::Mat& frame : frames) arrays.push_back(FrameArray(frame));
  return arrays;
}

}  // namespace

void BindSource(py::module_& module) {
  module.def("input_frames", &InputFrames, py::arg("input"), py::arg("filemask") = "*.png,*.jpg",
             py::arg("first") = 0, py::arg("last") = -1, py::arg("step") = 1,
             R"(The frames pedscan -d -i input [-k filemask] [-v first,last,step] scans.

Returns (kind, frames): kind is "directory", "image" or "video"; frames is a
list of (name, source) in the command line's order, name being what its result
files are called after (<name>.txt), source the image path or, for a video,
the frame number. A video's frames are counted by reading it. An input that
is none of these raises pedscan.Error with the command line's message.)");
  module.def("read_video_frames", &ReadVideoFrames, py::arg("path"), py::arg("first"),
             py::arg("count"), py::arg("step") = 1,
             "Reads frames first, first + step, ... (count of them) of a video as numpy uint8 "
             "arrays (H, W, 3), BGR; a frame that cannot be read raises pedscan.Error.");
}

}  // namespace python
}  // namespace pedscan
