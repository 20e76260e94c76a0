// pedscan.train and pedscan.extract_features: the training and the
// feature-extraction modes of the command line, with the same options and
// defaults, as functions.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "bindings.h"
#include "numeric/matrix.h"
#include "source/samples.h"
#include "support/failure.h"
#include "training/feature_extraction.h"
#include "training/retraining.h"
#include "training/training.h"
#include "training/training_mode.h"

namespace pedscan {
namespace python {
namespace {

namespace fs = std::filesystem;

// Runs `call` without the interpreter lock and with what it prints held
// back, then hands the text to `progress`. A failure is raised after its
// progress has been reported, as the command line prints the progress
// before the report.
template <typename Call>
void RunHeld(const py::object& progress, Call&& call) {
  std::string text;
  std::exception_ptr failure;
  {
    py::gil_scoped_release released;
    // Made without the lock: it waits while another call holds the output.
    HeldOutput held;
    try {
      call();
    } catch (...) {
      failure = std::current_exception();
    }
    text = held.Text();
  }
  Report(text, progress);
  if (failure) std::rethrow_exception(failure);
}

// The command line refuses a negative -j before it reads anything; the
// library would take it for a count.
void CheckThreads(int threads) {
  if (threads < 0) {
    throw py::value_error(Format(
        "threads must be 0 (every core available) or a positive count, not %d", threads));
  }
}

// True for a single image, false for a directory, as the command line
// classifies -i in feature-extraction mode, with its messages for an input
// that is neither. A video goes the directory's way, as it does there (and
// fails the same way: it holds no images).
bool IsSingleImage(const std::string& input) {
  return ClassifyInput(input) == InputKind::kImage;
}

// A rows x cols float32 array, row by row as the .matrix files hold it.
py::array_t<float> ArrayOf(const Matrix& matrix) {
  py::array_t<float> array({static_cast<py::ssize_t>(matrix.rows()),
                            static_cast<py::ssize_t>(matrix.cols())});
  auto values = array.mutable_unchecked<2>();
  for (int c = 0; c < matrix.cols(); ++c) {
    const float* column = matrix.Column(c);
    for (int r = 0; r < matrix.rows(); ++r) values(r, c) = column[r];
  }
  return array;
}

std::vector<std::string> Train(const fs::path& config, const fs::path& positives,
                               const fs::path& negatives, const fs::path& model, int32_t iterations,
                               int32_t samplesPerImage, int32_t samplesPerIteration,
                               float threshold, int32_t shift, int32_t blocksPerChunk,
                               bool rawFeatures, int32_t factorsPerBlock, bool crossValidation,
                               int32_t folds, int32_t seed, const std::string& filemask,
                               int threads, const py::object& progress) {
  CheckThreads(threads);
  TrainingOptions options;
  options.positive = positives.string();
  options.negative = negatives.string();
  options.filemask = filemask;
  options.modelFile = model.string();
  options.nSampIm = samplesPerImage;
  options.seed = seed;
  options.nRetIt = iterations;
  options.samplesIt = samplesPerIteration;
  options.ThRetraining = threshold;
  options.shift = shift;
  options.nblockIt = blocksPerChunk;
  options.rawFeatures = rawFeatures;
  options.nfactBlock = factorsPerBlock;
  options.cv = crossValidation;
  options.nfolds = folds;
  options.threads = threads;
  RunHeld(progress, [&] { RunTraining(config.string(), options); });
  std::vector<std::string> written;
  for (int it = 0; it <= options.nRetIt; ++it) {
    written.push_back(ModelFileName(options.modelFile, it));
  }
  return written;
}

py::tuple ExtractFeatures(const fs::path& config, const fs::path& input, int32_t samplesPerImage,
                          int32_t seed, const std::string& filemask, int threads,
                          const py::object& progress) {
  CheckThreads(threads);
  std::vector<MatrixPtr> features;
  std::vector<MatrixPtr> coordinates;
  RunHeld(progress, [&] {
    ExtractionOptions options;
    options.input = input.string();
    options.isImage = IsSingleImage(options.input);
    options.filemask = filemask;
    options.nSampIm = samplesPerImage;
    options.seed = seed;
    options.threads = threads;
    FeatureExtraction extraction(config.string(), options);
    extraction.Run([&](const TrainingImage&, MatrixPtr imageFeatures, MatrixPtr windows) {
      features.push_back(std::move(imageFeatures));
      coordinates.push_back(std::move(windows));
    });
  });
  py::list featureArrays;
  py::list coordinateArrays;
  for (size_t i = 0; i < features.size(); ++i) {
    featureArrays.append(ArrayOf(*features[i]));
    features[i].reset();
    coordinateArrays.append(ArrayOf(*coordinates[i]));
    coordinates[i].reset();
  }
  return py::make_tuple(featureArrays, coordinateArrays);
}

}  // namespace

void BindTraining(py::module_& module) {
  module.def("train", &Train, py::arg("config"), py::arg("positives"), py::arg("negatives"),
             py::arg("model") = "learnedModel",
             py::arg("iterations") = 4, py::arg("samples_per_image") = 1,
             py::arg("samples_per_iteration") = 1000, py::arg("threshold") = 0.9,
             py::arg("shift") = 16, py::arg("blocks_per_chunk") = 330,
             py::arg("raw_features") = false, py::arg("factors_per_block") = 5,
             py::arg("cross_validation") = false, py::arg("folds") = 20, py::arg("seed") = 0,
             py::arg("filemask") = "*.png,*.jpg", py::arg("threads") = 0,
             py::arg("progress") = py::none(),
             R"(Trains a model, like pedscan -t; returns the paths of the model files written.

config is the model configuration ("window <64, 128>", "block <set, 16, 16, 8, 8, 0>",
"method <HOG, set, 0, params>", "factors <10>", "classifier <qda>", ...).
positives and negatives are directories of example images (-p, -n) whose
names match filemask (-k, masks separated by commas).

samples_per_image windows (-M) are drawn at random from every image, with the
generator seeded by seed (-z; a negative seed takes the clock). A model is
built, written to "<model>.ret00.yml" (-m), and rebuilt iterations times (-I)
with the hard negatives added: up to samples_per_iteration windows (-R) of the
negative images, scanned with a step of shift pixels (-S), whose response
reaches threshold (-T). Each build writes "<model>.retNN.yml", so the list
returned holds iterations + 1 paths.

The block features are extracted blocks_per_chunk blocks at a time (-B) and
reduced to factors_per_block PLS factors per block (-f), or kept raw with
raw_features (-w). cross_validation (-C) chooses the number of window factors
by folds-fold cross-validation (-F).

threads (-j): worker threads, 0 for every core available; every file written
is the same for every count. The interpreter lock is released during the run.
progress: a callable taking one str per line of what the command line would
print, called once the run is over; by default the lines go to the "pedscan"
logger at DEBUG level. A failure raises pedscan.Error with the command line's
report (after the progress printed before it); a negative threads raises
ValueError.)");

  module.def("extract_features", &ExtractFeatures, py::arg("config"), py::arg("input"),
             py::arg("samples_per_image") = 1, py::arg("seed") = 0,
             py::arg("filemask") = "*.png,*.jpg", py::arg("threads") = 0,
             py::arg("progress") = py::none(),
             R"(Extracts raw window features, like pedscan -u, without writing files.

Returns (features, coords): two lists with one numpy float32 array per image,
in the order pedscan -u processes them. features[i] holds a row of raw
features per window (windows x features); coords[i] a row x, y, width,
height per window (windows x 4). The values are those of the files
"<stem>.features.matrix" and "<stem>.coords.matrix" that pedscan -u writes.

config is the model configuration, which gives the window and the features.
input (-i) is a single image or a directory whose images match filemask (-k).
samples_per_image windows (-M) are drawn from each image as training draws
them, seeded by seed (-z; a negative seed takes the clock).

threads (-j): worker threads, 0 for every core available; the result is the
same for every count. The interpreter lock is released during the run.
progress: a callable taking one str per line of what the command line would
print, called once the run is over; by default the lines go to the "pedscan"
logger at DEBUG level. A failure raises pedscan.Error with the command line's
report; a negative threads raises ValueError.)");
}

}  // namespace python
}  // namespace pedscan
