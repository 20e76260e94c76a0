// pedscan.Detector and its results, and pedscan.load_model.
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "detection/detection.h"
#include "detection/detector.h"
#include "model/Storage.h"
#include "model/model.h"
#include "source/samples.h"
#include "support/atomic_file.h"
#include "support/failure.h"

namespace pedscan {
namespace python {
namespace {

constexpr char kImageLayout[] =
    "a numpy uint8 array of shape (H, W, 3), BGR as cv2.imread gives it";

// The detections of one frame, every object type's boxes in type order.
struct Result {
  py::array_t<int32_t> boxes;   // N x 4: x, y, w, h
  py::array_t<double> scores;   // N
  std::vector<std::string> types;
  int windowsScanned = 0;
  // The boxes as the library holds them, for writing the result files
  // exactly as the command line writes them.
  Detections raw;
};



// The frame an array holds, without a copy when it is a C-contiguous uint8
// H x W x 3 array; a uint8 array of that shape in another layout is copied.
// Anything else is a TypeError naming the layout expected. `keep` holds the
// array the frame points into.
cv::Mat FrameOf(const py::handle& object, py::object* keep) {
  // A path is read as the command line reads an image.
  if (py::isinstance<py::str>(object) || py::hasattr(object, "__fspath__")) {
    const std::string path = py::str(py::module_::import("os").attr("fspath")(object));
    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty()) FailPlain(Format("can't load image '%s'\n", path.c_str()));
    return image;
  }
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(std::string("expected ") + kImageLayout + ", got " +
                         std::string(py::str(py::type::of(object).attr("__name__"))));
  }
  py::array array = py::reinterpret_borrow<py::array>(object);
  const std::string dtype = py::str(array.dtype());
  if (!array.dtype().is(py::dtype::of<uint8_t>()) || array.ndim() != 3 || array.shape(2) != 3) {
    std::string shape = "(";
    for (py::ssize_t i = 0; i < array.ndim(); ++i) {
      shape += (i > 0 ? ", " : "") + std::to_string(array.shape(i));
    }
    throw py::type_error(std::string("expected ") + kImageLayout + ", got " + dtype + " " +
                         shape + (array.ndim() == 1 ? ",)" : ")"));
  }
  auto contiguous = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
  *keep = contiguous;
  const int rows = static_cast<int>(contiguous.shape(0));
  const int cols = static_cast<int>(contiguous.shape(1));
  if (rows == 0 || cols == 0) return cv::Mat();
  return cv::Mat(rows, cols, CV_8UC3, const_cast<uint8_t*>(contiguous.data()));
}

Result ResultOf(const Detections& found, const std::vector<std::string>& typeNames) {
  size_t count = 0;
  for (const auto& windows : found.windows) count += windows.size();
  Result result;
  result.boxes = py::array_t<int32_t>({static_cast<py::ssize_t>(count), py::ssize_t{4}});
  result.scores = py::array_t<double>(static_cast<py::ssize_t>(count));
  auto boxes = result.boxes.mutable_unchecked<2>();
  auto scores = result.scores.mutable_unchecked<1>();
  py::ssize_t i = 0;
  for (size_t t = 0; t < found.windows.size(); ++t) {
    for (const DetectionWindow& w : found.windows[t]) {
      boxes(i, 0) = w.x;
      boxes(i, 1) = w.y;
      boxes(i, 2) = w.width;
      boxes(i, 3) = w.height;
      scores(i) = w.response;
      result.types.push_back(typeNames[t]);
      ++i;
    }
  }
  result.windowsScanned = found.windowsScanned;
  result.raw = found;
  return result;
}

// A part from 0 to 1 set on a Detector; anything else, NaN included, raises
// ValueError naming the property and the value.
float Fraction(const char* property, float value) {
  if (!(value >= 0.0f && value <= 1.0f)) {
    throw py::value_error(std::string(property) + " must be 0 to 1, not " +
                          py::repr(py::float_(value)).cast<std::string>());
  }
  return value;
}

// The Python face of a Detector: one call at a time.
class PyDetector {
 public:
  PyDetector(const std::string& config, int threads) {
    py::gil_scoped_release released;
    detector_ = std::make_unique<Detector>(config, threads);
  }

  Result Detect(const py::handle& image, bool suppress, const py::object& regions,
                const py::object& progress) {
    py::object keep;
    cv::Mat frame = FrameOf(image, &keep);
    if (!regions.is_none()) return DetectRegions(frame, suppress, regions, progress);
    ProgressText text;
    Detections found;
    {
      Busy busy(*this);
      py::gil_scoped_release released;
      found = detector_->Detect(frame, &text);
      if (suppress) Detector::Suppress(found, detector_->suppressionThreshold());
    }
    Report(text.text, progress);
    return ResultOf(found, detector_->objectTypes());
  }

  // Each region scanned as a frame of its own, the boxes moved to image
  // coordinates and listed region after region, like the command line's
  // regions of one image.
  Result DetectRegions(const cv::Mat& frame, bool suppress, const py::object& regions,
                       const py::object& progress) {
    std::vector<ROI> rois;
    for (const py::handle& region : regions) {
      const auto values = region.cast<std::vector<int>>();
      if (values.size() != 4 || values[2] < 1 || values[3] < 1) {
        throw py::value_error("a region is (x, y, w, h) with w and h at least 1");
      }
      ROI roi;
      roi.x = values[0];
      roi.y = values[1];
      roi.width = values[2];
      roi.height = values[3];
      rois.push_back(roi);
    }
    CheckRegions(rois, frame);
    std::vector<cv::Mat> crops;
    for (const ROI& roi : rois) crops.push_back(frame(cv::Rect(roi.x, roi.y, roi.width, roi.height)));
    std::vector<ProgressText> texts(crops.size());
    std::vector<DetectionProgress*> progressOf;
    for (ProgressText& text : texts) progressOf.push_back(&text);
    Detections all;
    all.windows.resize(detector_->objectTypes().size());
    {
      Busy busy(*this);
      py::gil_scoped_release released;
      std::vector<Detections> found = detector_->DetectFrames(crops, progressOf);
      for (size_t r = 0; r < found.size(); ++r) {
        if (suppress) Detector::Suppress(found[r], detector_->suppressionThreshold());
        all.windowsScanned += found[r].windowsScanned;
        for (size_t t = 0; t < all.windows.size(); ++t) {
          for (DetectionWindow w : found[r].windows[t]) {
            w.x = static_cast<int16_t>(w.x + rois[r].x);
            w.y = static_cast<int16_t>(w.y + rois[r].y);
            all.windows[t].push_back(w);
          }
        }
      }
    }
    for (const ProgressText& text : texts) Report(text.text, progress);
    return ResultOf(all, detector_->objectTypes());
  }

  // Detects on a batch of frames at once (read ahead from the iterable).
  std::vector<Result> DetectBatch(const std::vector<py::object>& images, bool suppress) {
    std::vector<py::object> keep(images.size());
    std::vector<cv::Mat> frames;
    for (size_t i = 0; i < images.size(); ++i) frames.push_back(FrameOf(images[i], &keep[i]));
    std::vector<Detections> found;
    {
      Busy busy(*this);
      py::gil_scoped_release released;
      found = detector_->DetectFrames(frames, {});
      if (suppress) {
        for (Detections& detections : found) Detector::Suppress(detections, detector_->suppressionThreshold());
      }
    }
    std::vector<Result> results;
    for (const Detections& detections : found) {
      results.push_back(ResultOf(detections, detector_->objectTypes()));
    }
    return results;
  }

  void SetThreads(int threads) {
    Busy busy(*this);
    py::gil_scoped_release released;
    detector_->SetThreads(threads);
  }
  int threads() const { return detector_->threads(); }
  int padding() const { return padding_; }
  void setPadding(int pixels) {
    if (pixels < 0 || pixels > kLargestPadding) {
      throw py::value_error("padding must be 0 to " + std::to_string(kLargestPadding) + " pixels, not " +
                            std::to_string(pixels));
    }
    detector_->SetPadding(pixels);
    padding_ = pixels;
  }
  bool stageSuppression() const { return stageSuppression_; }
  void setStageSuppression(bool on) {
    detector_->SetStageSuppression(on);
    stageSuppression_ = on;
  }
  float overlap() const { return detector_->suppressionThreshold(); }
  void setOverlap(float threshold) { detector_->SetSuppressionThreshold(Fraction("overlap", threshold)); }
  float contained() const { return detector_->containment(); }
  void setContained(float fraction) { detector_->SetContainment(Fraction("contained", fraction)); }
  float soft() const { return detector_->softSuppression(); }
  void setSoft(float width) {
    if (!(width >= 0.0f && std::isfinite(width))) {
      throw py::value_error("soft must be 0 or a finite width above 0, not " + py::repr(py::float_(width)).cast<std::string>());
    }
    detector_->SetSoftSuppression(width);
  }
  bool boxPlacement() const { return detector_->boxPlacement(); }
  void setBoxPlacement(bool on) { detector_->SetBoxPlacement(on); }
  const std::vector<std::string>& types() const { return detector_->objectTypes(); }

  // The files the command line writes for frame `name` in `output`: the
  // drawn image first when drawing, then the text file of every type.
  std::vector<std::string> ResultFiles(const std::string& output, const std::string& name,
                                       bool draw) const {
    std::vector<std::string> paths;
    if (draw) paths.push_back(ResultImagePath(output, name, false, 0));
    for (const std::string& suffix : TextSuffixes(detector_->objectTypes())) {
      paths.push_back(ResultTextPath(output, name, suffix));
    }
    return paths;
  }

  // Writes a frame's results as the detection mode's SaveResults does:
  // with `draw`, every type's boxes drawn on a copy of the image in turn and
  // the image saved as PNG; then one text file per type. Each file appears
  // complete or not at all.
  std::vector<std::string> WriteResults(const Result& result, const std::string& output,
                                        const std::string& name, const py::object& image,
                                        bool draw, bool ellipse) const {
    const std::vector<std::string>& types = detector_->objectTypes();
    if (result.raw.windows.size() != types.size()) {
      throw py::value_error("the result does not come from a Detector of these object types");
    }
    py::object keep;
    cv::Mat drawn;
    if (draw) {
      if (image.is_none()) throw py::value_error("drawing needs the image");
      drawn = FrameOf(image, &keep).clone();
    }
    const std::vector<std::string> paths = ResultFiles(output, name, draw);
    py::gil_scoped_release released;
    size_t next = 0;
    if (draw) {
      for (size_t i = 0; i < types.size(); ++i) {
        DrawDetections(drawn, result.raw.windows[i], ellipse, TypeColour(i));
      }
      const std::string& path = paths[next++];
      std::vector<uchar> encoded;
      std::string reason = "the image cannot be encoded";
      bool saved = false;
      try {
        saved = cv::imencode(".png", drawn, encoded) &&
                WriteFileAtomically(path, encoded.data(), encoded.size(), &reason);
      } catch (const cv::Exception&) {
        saved = false;
      }
      if (!saved) {
        FailPlain(Format("cannot write result image '%s' (%s)\n", path.c_str(), reason.c_str()));
      }
    }
    for (size_t i = 0; i < types.size(); ++i) {
      WriteDetections(paths[next++], result.raw.windows[i], false, 0, 0);
    }
    return paths;
  }

 private:
  // Marks the detector in use for the life of the guard; a second call
  // meanwhile, from another Python thread, is refused instead of
  // corrupting the scan state.
  class Busy {
   public:
    explicit Busy(PyDetector& owner) : owner_(owner) {
      if (owner_.busy_.exchange(true)) {
        throw py::value_error(
            "this Detector is in use by another thread; use one Detector per thread");
      }
    }
    ~Busy() { owner_.busy_ = false; }

   private:
    PyDetector& owner_;
  };

  std::unique_ptr<Detector> detector_;
  bool stageSuppression_ = false;
  int padding_ = 0;
  std::atomic<bool> busy_{false};
};

// detect_many's results, pulled from the frames a batch at a time.
class ResultIterator {
 public:
  ResultIterator(PyDetector& detector, py::iterator frames, bool suppress)
      : detector_(detector), frames_(std::move(frames)), suppress_(suppress) {}

  Result Next() {
    if (next_ == ready_.size()) {
      ready_.clear();
      next_ = 0;
      std::vector<py::object> batch;
      const size_t size = static_cast<size_t>(std::max(detector_.threads(), 1));
      while (batch.size() < size && frames_ != py::iterator::sentinel()) {
        batch.push_back(py::reinterpret_borrow<py::object>(*frames_));
        ++frames_;
      }
      if (batch.empty()) throw py::stop_iteration();
      ready_ = detector_.DetectBatch(batch, suppress_);
    }
    return std::move(ready_[next_++]);
  }

 private:
  PyDetector& detector_;
  py::iterator frames_;
  bool suppress_;
  std::vector<Result> ready_;
  size_t next_ = 0;
};

// What pedscan.load_model shows of a model file.
struct ModelInfo {
  std::string id;
  std::pair<int, int> window;                 // width, height
  std::tuple<int, int, int, int> object;      // x, y, width, height in the window
  py::list blocks;                            // dicts, one per block
  int factors = 0;
  std::string classifier;                     // "qda" or "plsReg"
  int features = 0;
};

ModelInfo LoadModel(const std::string& path) {
  std::unique_ptr<Model> model;
  {
    py::gil_scoped_release released;
    model = Storage().ReadModel(path);
  }
  ModelInfo info;
  info.id = model->modelID;
  info.window = {model->windowW, model->windowH};
  info.object = {model->objX0, model->objY0, model->objW, model->objH};
  for (const auto& block : model->blockModels) {
    py::dict entry;
    entry["x"] = block->rect.x0;
    entry["y"] = block->rect.y0;
    entry["width"] = block->rect.width;
    entry["height"] = block->rect.height;
    entry["feature"] = block->feature;
    entry["params"] = block->params;
    entry["features"] = block->nfeatures;
    entry["factors"] = block->raw ? 0 : block->nfactors;
    entry["raw"] = block->raw;
    info.blocks.append(entry);
  }
  info.factors = model->nfactors;
  info.classifier = model->useQDA ? "qda" : "plsReg";
  info.features = model->nrawfeatures;
  return info;
}

}  // namespace

py::array_t<uint8_t> FrameArray(const cv::Mat& frame) {
  py::array_t<uint8_t> array({static_cast<py::ssize_t>(frame.rows),
                              static_cast<py::ssize_t>(frame.cols), py::ssize_t{3}});
  cv::Mat into(frame.rows, frame.cols, CV_8UC3, array.mutable_data());
  frame.copyTo(into);
  return array;
}

void BindDetection(py::module_& module) {
  py::class_<Result>(module, "DetectionResult",
                     "The detections of one frame: every object type's boxes, in type order.")
      .def_readonly("boxes", &Result::boxes, "(N, 4) int32: x, y, w, h in frame pixels")
      .def_readonly("scores", &Result::scores,
                    "(N,) float64: each box's response, as the result files print it")
      .def_readonly("types", &Result::types, "list of N str: each box's object type")
      .def_readonly("windows_scanned", &Result::windowsScanned,
                    "windows the first stages scored")
      .def("__len__", [](const Result& r) { return r.types.size(); })
      .def("__repr__", [](const Result& r) {
        return "<DetectionResult: " + std::to_string(r.types.size()) + " boxes>";
      });

  py::class_<ResultIterator>(module, "DetectionIterator",
                             "detect_many's results, one DetectionResult per frame, in order.")
      .def("__iter__", [](ResultIterator& it) -> ResultIterator& { return it; })
      .def("__next__", &ResultIterator::Next);

  py::class_<PyDetector>(module, "Detector", R"(Detects the object types of a detection configuration.

Detector(config, threads=0) reads the configuration (lines
"model <type, stage, threshold, file.yml>" and
"scale <type, minSize, maxSize, xStep, yStep, factor>") and loads every model
once. threads is the number of worker threads a frame is scanned with
(0: every core available, like pedscan -j 0). A failure raises pedscan.Error.

One Detector serves one call at a time: a second call from another thread
meanwhile raises ValueError. Separate Detectors share nothing and may run in
separate threads at once; the interpreter lock is released while they scan.)")
      .def(py::init<const std::string&, int>(), py::arg("config"), py::arg("threads") = 0)
      .def("detect", &PyDetector::Detect, py::arg("image"), py::arg("suppress") = false,
           py::arg("regions") = py::none(), py::arg("progress") = py::none(),
           R"(Detects on one image and returns a DetectionResult.

image: numpy uint8 array (H, W, 3), BGR as cv2.imread gives it; a C-contiguous
array is not copied, another uint8 layout is, and anything else raises
TypeError. A path (str or os.PathLike) is read as the command line reads an
image; one that does not decode raises pedscan.Error. An image smaller than every window (or with no pixel) has no
detections. suppress=True drops the weaker of two boxes of a type that
overlap by more than 0.2 (intersection over union), like pedscan -s.
regions: a list of (x, y, w, h); each is scanned as a frame of its own and its
boxes are given in image coordinates, region after region, like the regions
of pedscan's command line. A region outside the image raises pedscan.Error.
progress: a callable taking one str per progress line; by default the lines
go to the "pedscan" logger at DEBUG level.)")
      .def(
          "detect_many",
          [](PyDetector& detector, py::iterable frames, bool suppress, py::object threads) {
            if (!threads.is_none()) detector.SetThreads(threads.cast<int>());
            return ResultIterator(detector, py::iter(frames), suppress);
          },
          py::arg("frames"), py::arg("suppress") = false, py::arg("threads") = py::none(),
          py::keep_alive<0, 1>(),
          R"(Detects on every image of an iterable; returns an iterator of
DetectionResult in input order. Frames are read a batch ahead (one per worker
thread) and scanned together. threads, when given, sets the worker threads
first (0: every core).)")
      .def("result_files", &PyDetector::ResultFiles, py::arg("output"), py::arg("name"),
           py::arg("draw") = false,
           "The paths pedscan -d writes for the frame `name` in the directory `output`: with "
           "draw (-b) '<name>.png' first, then '<name>.txt' for one object type, or "
           "'<name>.<type>.txt' for each of several.")
      .def("write_results", &PyDetector::WriteResults, py::arg("result"), py::arg("output"),
           py::arg("name"), py::arg("image") = py::none(), py::arg("draw") = false,
           py::arg("ellipse") = false,
           R"(Writes the result files of frame `name` into the directory `output`,
byte for byte as pedscan -d writes them (see result_files), and returns their
paths. result: what detect gave for the frame; image: the frame itself, needed
with draw=True (-b), whose boxes are drawn on a copy, as ellipses with
ellipse=True (-e). Every file appears complete or not at all; a file that
cannot be written raises pedscan.Error naming it.)")
      .def_property_readonly("threads", &PyDetector::threads, "worker threads of a scan")
      .def_property("padding", &PyDetector::padding, &PyDetector::setPadding,
                    "pixels of repeated border around each frame for the scan, as pedscan -d -P; "
                    "boxes stay inside the frame [0]")
      .def_property("stage_suppression", &PyDetector::stageSuppression, &PyDetector::setStageSuppression,
                    "suppression after every stage, as pedscan -d -g: stage 0's windows over the "
                    "whole frame before the later stages score them, and again after them [False]")
      .def_property("overlap", &PyDetector::overlap, &PyDetector::setOverlap,
                    "the intersection over union above which suppression (suppress=True, "
                    "stage_suppression) drops the weaker of two boxes, as pedscan -d -O [0.2]")
      .def_property("box_placement", &PyDetector::boxPlacement, &PyDetector::setBoxPlacement,
                    "with stage_suppression, each box kept is placed at the mean of the stage-0 "
                    "windows that overlap it, weighted by their responses, as pedscan -d -L [False]")
      .def_property("contained", &PyDetector::contained, &PyDetector::setContained,
                    "with stage_suppression, each box that lies by this part of its area or more "
                    "inside a stronger, taller box is removed, as pedscan -d -K; 0 removes none [0]")
      .def_property("soft", &PyDetector::soft, &PyDetector::setSoft,
                    "with stage_suppression, the weaker of two overlapping boxes is kept with its "
                    "response multiplied by exp(-o * o / soft), o their overlap, instead of being "
                    "removed, as pedscan -d -G; overlap is then not used; 0 removes the weaker box as "
                    "stage_suppression alone does [0]")
      .def_property_readonly("types", &PyDetector::types,
                             "the object types, in the order results list them");

  py::class_<ModelInfo>(module, "ModelInfo", "What a model file holds, as load_model reads it.")
      .def_readonly("id", &ModelInfo::id)
      .def_readonly("window", &ModelInfo::window, "(width, height) of the detection window")
      .def_readonly("object", &ModelInfo::object, "(x, y, width, height) of the object box")
      .def_readonly("blocks", &ModelInfo::blocks,
                    "one dict per block: x, y, width, height, feature, params, features, "
                    "factors, raw")
      .def_readonly("factors", &ModelInfo::factors, "window-level PLS factors")
      .def_readonly("classifier", &ModelInfo::classifier, "'qda' or 'plsReg'")
      .def_readonly("features", &ModelInfo::features, "raw features per window")
      .def("__repr__", [](const ModelInfo& m) {
        return "<ModelInfo " + m.id + ": " + std::to_string(m.window.first) + "x" +
               std::to_string(m.window.second) + " window, " + std::to_string(m.blocks.size()) +
               " blocks, " + std::to_string(m.factors) + " factors, " + m.classifier + ">";
      });
  module.def(
      "read_image",
      [](const std::string& path) {
        cv::Mat image;
        {
          py::gil_scoped_release released;
          image = cv::imread(path, cv::IMREAD_COLOR);
        }
        if (image.empty()) FailPlain(Format("can't load image '%s'\n", path.c_str()));
        return FrameArray(image);
      },
      py::arg("path"),
      "Reads an image as the command line does (8-bit BGR, H x W x 3); one that does not "
      "decode raises pedscan.Error with the command line's message.");
  module.def("load_model", &LoadModel, py::arg("path"),
             "Reads a model file (YAML) and returns a ModelInfo: window, object box, blocks, "
             "factors and classifier. A missing or damaged file raises pedscan.Error.");
}

}  // namespace python
}  // namespace pedscan
