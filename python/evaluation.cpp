// pedscan.evaluate: detections scored against ground truth, as
// tools/evaluation/evaluate scores its directories, with the frames given
// as directories or as Python mappings.
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "evaluation/evaluation.h"
#include "evaluation/inputs.h"
#include "support/failure.h"

namespace pedscan {
namespace python {
namespace {

namespace ev = pedscan::evaluation;

// The curve as numpy arrays, one entry per distinct score threshold in
// descending order, the first for no detection at all (threshold +inf).
struct CurveArrays {
  py::array_t<double> threshold, precision, recall, fppi, missRate;
};

struct Evaluation {
  double averagePrecision = 0;
  double logAverageMissRate = 0;
  int frames = 0;
  int positives = 0;
  CurveArrays curve;
  // At the requested threshold; empty when none was given.
  std::optional<double> threshold, precision, recall;
  std::optional<int> truePositives, falsePositives;
};

// One side of the evaluation: a directory of <frame>.txt files, or the
// boxes of every frame taken from a mapping.
struct Side {
  std::optional<std::string> directory;
  std::vector<std::pair<std::string, std::vector<ev::Box>>> truth;
  std::map<std::string, std::vector<ev::ScoredBox>> detections;
};

bool IsPath(const py::handle& object) {
  return py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object) ||
         py::isinstance(object, py::module_::import("os").attr("PathLike"));
}

std::string PathOf(const py::handle& object) {
  return py::module_::import("os").attr("fsdecode")(object).cast<std::string>();
}

// The boxes of one frame, `columns` values per row (x, y, w, h and, for
// detections, the score), checked as the box files are: every value finite,
// width and height positive. An empty sequence is a frame without boxes.
py::array_t<double> RowsOf(const py::handle& boxes, const std::string& what,
                           const std::string& frame, py::ssize_t columns) {
  auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(boxes);
  if (!array) {
    PyErr_Clear();
    throw py::type_error(Format("%s of frame '%s': expected an array of boxes", what.c_str(),
                                frame.c_str()));
  }
  if (array.size() == 0) return py::array_t<double>(std::vector<py::ssize_t>{0, columns});
  if (array.ndim() != 2 || array.shape(1) != columns) {
    throw py::value_error(Format("%s of frame '%s': expected N x %d values per box (%s)",
                                 what.c_str(), frame.c_str(), static_cast<int>(columns),
                                 columns == 4 ? "x, y, w, h" : "x, y, w, h, score"));
  }
  auto rows = array.unchecked<2>();
  for (py::ssize_t r = 0; r < rows.shape(0); ++r) {
    bool finite = true;
    for (py::ssize_t c = 0; c < columns; ++c) finite = finite && std::isfinite(rows(r, c));
    if (!finite || rows(r, 2) <= 0 || rows(r, 3) <= 0) {
      throw py::value_error(Format("%s of frame '%s', box %d: values must be finite with a "
                                   "positive width and height",
                                   what.c_str(), frame.c_str(), static_cast<int>(r)));
    }
  }
  return array;
}

Side TruthSide(const py::object& truth) {
  Side side;
  if (IsPath(truth)) {
    side.directory = PathOf(truth);
    return side;
  }
  if (!py::hasattr(truth, "items")) {
    throw py::type_error("truth: expected a directory path or a mapping frame -> boxes");
  }
  for (const auto& item : py::reinterpret_borrow<py::iterable>(truth.attr("items")())) {
    const auto pair = item.cast<py::tuple>();
    const std::string name = py::str(pair[0]);
    auto rows = RowsOf(pair[1], "truth", name, 4).unchecked<2>();
    std::vector<ev::Box> boxes;
    for (py::ssize_t r = 0; r < rows.shape(0); ++r) {
      boxes.push_back({rows(r, 0), rows(r, 1), rows(r, 2), rows(r, 3)});
    }
    side.truth.emplace_back(name, std::move(boxes));
  }
  return side;
}

Side DetectionSide(const py::object& detections) {
  Side side;
  if (IsPath(detections)) {
    side.directory = PathOf(detections);
    return side;
  }
  if (!py::hasattr(detections, "items")) {
    throw py::type_error("detections: expected a directory path or a mapping frame -> boxes");
  }
  for (const auto& item : py::reinterpret_borrow<py::iterable>(detections.attr("items")())) {
    const auto pair = item.cast<py::tuple>();
    const std::string name = py::str(pair[0]);
    auto rows = RowsOf(pair[1], "detections", name, 5).unchecked<2>();
    std::vector<ev::ScoredBox> boxes;
    for (py::ssize_t r = 0; r < rows.shape(0); ++r) {
      boxes.push_back({{rows(r, 0), rows(r, 1), rows(r, 2), rows(r, 3)}, rows(r, 4)});
    }
    side.detections[name] = std::move(boxes);
  }
  return side;
}

// The frames named by the ground truth, each with its detections. Reads
// files; runs without the interpreter lock.
std::vector<ev::Frame> FramesOf(const Side& truth, const Side& detections) {
  if (truth.directory && detections.directory) {
    // Any annotation format and COCO results files, as the tool reads them.
    return ev::LoadFrames(ev::ReadTruth(*truth.directory), *detections.directory);
  }
  std::vector<ev::Frame> frames;
  // A frame's detection file is "<frame>.txt", except that a ground-truth
  // file "<frame>.TXT" names its detection file alike.
  std::vector<std::string> files;
  if (truth.directory) {
    files = ev::GroundTruthFiles(*truth.directory);
    for (const std::string& file : files) {
      ev::Frame frame;
      frame.name = file.substr(0, file.size() - 4);
      frame.truth = ev::ReadGroundTruth(*truth.directory + "/" + file);
      frames.push_back(std::move(frame));
    }
  } else {
    for (const auto& [name, boxes] : truth.truth) {
      ev::Frame frame;
      frame.name = name;
      frame.truth = boxes;
      frames.push_back(std::move(frame));
      files.push_back(name + ".txt");
    }
  }
  for (size_t f = 0; f < frames.size(); ++f) {
    ev::Frame& frame = frames[f];
    if (detections.directory) {
      frame.detections = ev::ReadDetections(*detections.directory + "/" + files[f]);
      continue;
    }
    auto found = detections.detections.find(frame.name);
    if (found == detections.detections.end()) {
      throw py::value_error(Format("detections: no entry for frame '%s' (an empty array for a "
                                   "frame without detections)",
                                   frame.name.c_str()));
    }
    frame.detections = found->second;
  }
  return frames;
}

py::array_t<double> ArrayOf(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

Evaluation Evaluate(const py::object& truthObject, const py::object& detectionsObject, double iou,
                    std::optional<double> threshold) {
  if (!(iou > 0.0 && iou <= 1.0)) {
    throw py::value_error(Format("iou must lie in (0, 1], not %g", iou));
  }
  const Side truth = TruthSide(truthObject);
  const Side detections = DetectionSide(detectionsObject);
  ev::Curve curve;
  ev::Summary summary;
  {
    py::gil_scoped_release released;
    const std::vector<ev::Frame> frames = FramesOf(truth, detections);
    // Without a threshold every box counts, as with the evaluate tool.
    summary = ev::Summarise(frames, threshold.value_or(-1e300), iou);
    curve = ev::ComputeCurve(frames, iou);
  }
  Evaluation result;
  result.averagePrecision = summary.averagePrecision;
  result.logAverageMissRate = summary.logAverageMissRate;
  result.frames = curve.frames;
  result.positives = summary.positives;
  result.curve = {ArrayOf(curve.threshold), ArrayOf(curve.precision), ArrayOf(curve.recall),
                  ArrayOf(curve.fppi), ArrayOf(curve.missRate)};
  if (threshold) {
    result.threshold = threshold;
    result.precision = summary.precision;
    result.recall = summary.recall;
    result.truePositives = summary.truePositives;
    result.falsePositives = summary.falsePositives;
  }
  return result;
}

}  // namespace

void BindEvaluation(py::module_& module) {
  py::class_<CurveArrays>(module, "Curve", R"(The precision-recall and miss-rate curves.

One entry per distinct detection score, in descending order, after the entry
for no detection at all (threshold +inf, precision 1, recall 0): the figures
of the detections scoring at least that threshold. Every field is a numpy
float64 array of the same length.)")
      .def_readonly("threshold", &CurveArrays::threshold)
      .def_readonly("precision", &CurveArrays::precision)
      .def_readonly("recall", &CurveArrays::recall)
      .def_readonly("fppi", &CurveArrays::fppi, "false positives per frame")
      .def_readonly("miss_rate", &CurveArrays::missRate, "1 - recall")
      .def("__len__", [](const CurveArrays& curve) { return curve.threshold.size(); })
      .def("__repr__", [](const CurveArrays& curve) {
        return Format("<Curve: %d points>", static_cast<int>(curve.threshold.size()));
      });

  py::class_<Evaluation>(module, "Evaluation", R"(What pedscan.evaluate finds.

average_precision: area under the precision-recall curve, precision made
monotone. log_average_miss_rate: geometric mean of the miss rate at 9 false
positives per frame from 1e-2 to 1 (evenly spaced in log space). frames,
positives: the frames and the ground-truth boxes counted. curve: the Curve.
With a threshold: precision, recall, true_positives and false_positives of
the detections scoring at least threshold; None otherwise.)")
      .def_readonly("average_precision", &Evaluation::averagePrecision)
      .def_readonly("log_average_miss_rate", &Evaluation::logAverageMissRate)
      .def_readonly("frames", &Evaluation::frames)
      .def_readonly("positives", &Evaluation::positives)
      .def_readonly("curve", &Evaluation::curve)
      .def_readonly("threshold", &Evaluation::threshold)
      .def_readonly("precision", &Evaluation::precision)
      .def_readonly("recall", &Evaluation::recall)
      .def_readonly("true_positives", &Evaluation::truePositives)
      .def_readonly("false_positives", &Evaluation::falsePositives)
      .def("__repr__", [](const Evaluation& e) {
        std::string text = Format("<Evaluation: %d frames, %d people, AP %.3f, log-av MR %.2f%%",
                                  e.frames, e.positives, e.averagePrecision,
                                  100.0 * e.logAverageMissRate);
        if (e.threshold) {
          text += Format(", at %g: precision %.3f, recall %.3f", *e.threshold, *e.precision,
                         *e.recall);
        }
        return text + ">";
      });

  module.def("evaluate", &Evaluate, py::arg("truth"), py::arg("detections"),
             py::arg("iou") = 0.5, py::arg("threshold") = py::none(),
             R"(Scores detections against ground truth, like build/evaluate; returns an Evaluation.

truth: a directory of ground-truth files "<frame>.txt" with one "x y w h" line
per person, or a mapping frame name -> array-like N x 4 (x, y, w, h); with a
path for detections too, also a folder of Pascal VOC XML or labelme JSON
files, or a COCO JSON or imglab XML file (ignore regions honoured).
detections: a directory holding "<frame>.txt" with one "x y w h score" line
per box for every ground-truth frame, a COCO results file, or a mapping frame
name -> array-like N x 5 (x, y, w, h, score). The frames are those of the
ground truth; each needs its detections (an empty file or array for none).

Detections of all frames are ranked together, highest score first; each takes
the free ground-truth box of its frame it overlaps most and is a true
positive when that overlap (intersection over union) reaches iou; one that
lies mostly inside an ignore region counts neither way; every other
detection is a false positive. threshold, when given, also
gives precision and recall of the detections scoring at least it.

A missing or malformed file raises pedscan.Error naming it, as the tool
reports it; a malformed array raises ValueError (TypeError when it is no
array at all). The interpreter lock is released while files are read and the
curve is computed.)");
}

}  // namespace python
}  // namespace pedscan
