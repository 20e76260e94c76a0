// The command-line record that every mode reads.
//
// InputParameters carries everything the user said on the command line: it
// is built with the defaults below, filled and validated by
// ParseCommandLine, and, in detection and feature-extraction mode, completed
// by classifying the input path as an image, a video or a directory. The
// driver creates one record and keeps it for the whole run; the modes hold a
// reference to it. This header depends on nothing but support and OpenCV's
// core, so every subsystem may read the record.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "detection/suppression.h"
#include "source/samples.h"

namespace pedscan {

// The version string shown by --version and at the top of the usage.
inline constexpr char kPedscanVersion[] = "0.1.0";

class InputParameters {
 public:
  // All fields hold their defaults; `rois` is empty (null) until parsing.
  InputParameters() = default;

  // Declares the options, parses argv, copies the values into the record
  // and runs CheckParametersConsistency. Returns only with a consistent
  // record. Otherwise throws Failure:
  //  - form kParser, status 1, text = the parser's "PARSE ERROR:" report
  //    with a brief usage (to be printed on stderr);
  //  - form kParser, status 0, empty text, after -h/--help or --version
  //    has printed the usage or the version line on stdout;
  //  - form kFatal, status -1, for a positional value that is not a valid
  //    "x,y,w,h" region and for every failed consistency check;
  //  - form kPlain, status 2, for an input that is no directory and cannot
  //    be read as an image or as a video with a frame (see ClassifyInput).
  // May be called once per record.
  void ParseCommandLine(int argc, const char* const* argv);

  // The combination checks in their fixed order, with the input
  // classification between the mode checks and the ROI check. The first
  // failing check throws the fatal report (status -1).
  void CheckParametersConsistency();

  // Rejects the first ROI that does not lie inside `image` (fatal report).
  // An ROI that touches the right or bottom border exactly is accepted.
  void CheckROIs(const cv::Mat& image) const;

  std::string filemask = "*.png,*.jpg";
  std::string configfile;
  // Worker threads; 0: every core available to the process.
  int32_t threads = 0;
  // Pixels of repeated border around each frame scanned in detection.
  int32_t padding = 0;
  bool training = false;
  bool detection = false;
  bool features = false;
  int32_t nSampIm = 1;
  int32_t nRetIt = 4;
  int32_t samplesIt = 1000;
  int32_t seed = 0;
  std::string negative;
  std::string positive;
  int32_t nblockIt = 330;
  bool rawFeatures = false;
  int32_t nfactBlock = 5;
  bool cv = false;
  int32_t nfolds = 20;
  float ThRetraining = 0.9f;
  int32_t shift = 16;
  std::string modelFile = "learnedModel";
  std::string input;
  std::string output;
  bool drawBB = false;
  bool drawEllipse = false;
  bool nonMaxSup = false;
  bool stageNonMaxSup = false;
  // The overlap above which suppression drops the weaker box, and whether
  // -O gave it.
  float overlap = kSuppressionThreshold;
  bool overlapGiven = false;
  // Boxes kept by the stage suppression placed among their stage-0 windows.
  bool placeBoxes = false;
  // Boxes kept by the stage suppression removed when this part of them lies
  // inside a stronger, taller box; 0: none.
  float contained = 0.0f;
  // The width of the soft stage suppression (Detector::SetSoftSuppression);
  // 0: the weaker box is removed.
  float soft = 0.0f;
  // Set by parsing, in command-line order; an empty list when no positional
  // value was given.
  std::unique_ptr<std::vector<ROI>> rois;
  int32_t videoFirst = 0;
  int32_t videoLast = -1;
  int32_t videoStep = 1;
  // The kind of source; at most one of these four is set.
  bool isDirectory = false;
  bool isImage = false;
  bool isVideo = false;
  bool camera = false;

 private:
  // Sets isImage, isVideo or isDirectory from what `input` opens as. An
  // input that reads as none of them throws a plain message naming it:
  // "can't load image '%s'\n" for a file in an image format or with an
  // image extension, "input '%s' does not exist\n" for a missing path, and
  // "can't read input '%s' as an image or a video\n" for anything else.
  void ClassifyInput();
};

}  // namespace pedscan
