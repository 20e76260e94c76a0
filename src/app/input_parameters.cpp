#include "app/input_parameters.h"

#include <tclap/CmdLine.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "app/my_output.h"
#include "detection/detector.h"
#include "support/failure.h"
#include "support/text.h"

namespace pedscan {
namespace {

constexpr char kSource[] = "input_parameters";
constexpr char kParseFunction[] = "InputParameters::ParseCommandLine";
constexpr char kCheckFunction[] = "InputParameters::CheckParametersConsistency";

// A fatal report of this file: the line it has always carried and its text.
struct Report {
  int line;
  const char* message;
};

// Positional values that cannot become a usable region.
constexpr Report kRoiNotFourIntegers{
    96, "invalid ROI: %s - expected x,y,w,h (four comma-separated integers)"};
constexpr Report kRoiEmpty{99, "invalid ROI: %s - width and height must be at least 1"};

// The consistency checks, in the order they are made.
constexpr Report kNegativeThreads{
    153, "invalid number of threads: %d (use -j with 0 for every core, or a positive count)"};
static_assert(kLargestPadding == 10000, "the padding message below names the bound");
constexpr Report kBadPadding{
    154, "invalid padding: %d (use -P with 0 to 10000 pixels of repeated border around each frame)"};
constexpr Report kBadOverlap{
    155, "invalid overlap: %g (use -O with 0 to 1, the intersection over union above which the weaker "
         "of two boxes is removed)"};
constexpr Report kOverlapWithoutSuppression{
    157, "-O sets the overlap of the suppression; use it with -s or -g"};
constexpr Report kPlacementWithoutStages{
    158, "-L places the boxes that the stage suppression keeps; use it with -g"};
constexpr Report kBadContainment{
    151, "invalid containment: %g (use -K with 0 to 1, the part of a box inside a stronger, taller box "
         "at which it is removed; 0 removes none)"};
constexpr Report kContainmentWithoutStages{
    152, "-K removes the boxes inside stronger ones that the stage suppression keeps; use it with -g"};
constexpr Report kBadSoftWidth{
    160, "invalid soft suppression width: %g (use -G with a width above 0, or 0 for none; the response of a box "
         "overlapping a stronger one by o is multiplied by exp(-o * o / width))"};
constexpr Report kSoftWithoutStages{161, "-G makes the stage suppression soft; use it with -g"};
constexpr Report kOverlapWithSoft{
    162, "-O sets the overlap of the stage suppression, which -G replaces by lowering responses; use one of them"};
constexpr Report kCameraForTraining{156,
                                    "cannot use camera input for training (must use -d parameter)"};
constexpr Report kCameraWithInput{159,
                                  "when camera is used, cannot set input files (remove -i option)"};
constexpr Report kNoInput{166, "must set an input file/directory (-i)"};
constexpr Report kNoOutput{169, "must set an output directory set (-o)"};
constexpr Report kNegativeOutsideTraining{172, "can't use parameter -n in the training"};
constexpr Report kPositiveOutsideTraining{175, "can't use parameter -p in the training"};
constexpr Report kNoNegative{181, "must set a directory with negative images (-n)"};
constexpr Report kNoPositive{184, "must set a directory with positive images (-p)"};
constexpr Report kInputInTraining{187, "can't use parameter -i in the training"};
constexpr Report kOutputInTraining{190, "can't use parameter -o in the training"};
constexpr Report kRoisWithoutImage{
    198, "ROIs only accepted when single image is considered for the input"};

[[noreturn]] void FailCheck(const Report& report) {
  Fatal(kSource, kCheckFunction, report.line, report.message);
}

// The description of a value option followed by its shown default.
std::string WithDefault(const std::string& description, const std::string& shown) {
  return description + " [" + shown + "]";
}

// One field of an "x,y,w,h" value: an optional sign and at least one digit,
// nothing else, within the 32-bit range.
bool ReadInteger(const std::string& text, int32_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > int64_t{1} << 31) return false;
  }
  int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT32_MAX) return false;
  *value = static_cast<int32_t>(signedValue);
  return true;
}

// Converts a positional value to an ROI. The parser hands every token that
// no option takes to the ROI list, stray flags such as "-r" included, so a
// value that is not exactly four integers, or that would give an empty
// crop, ends the run here with a report naming it.
ROI ParseRoi(const std::string& value) {
  std::vector<std::string> fields = Split(value, ',');
  int32_t numbers[4];
  bool wellFormed = fields.size() == 4;
  for (size_t i = 0; wellFormed && i < 4; ++i) wellFormed = ReadInteger(fields[i], &numbers[i]);
  if (!wellFormed) {
    Fatal(kSource, kParseFunction, kRoiNotFourIntegers.line,
          Format(kRoiNotFourIntegers.message, value.c_str()));
  }
  ROI roi;
  roi.x = numbers[0];
  roi.y = numbers[1];
  roi.width = numbers[2];
  roi.height = numbers[3];
  if (roi.width < 1 || roi.height < 1) {
    Fatal(kSource, kParseFunction, kRoiEmpty.line, Format(kRoiEmpty.message, value.c_str()));
  }
  return roi;
}

// Routes what TCLAP writes to std::cerr into a string while alive.
class CerrCapture {
 public:
  CerrCapture() : saved_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(saved_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

}  // namespace

void InputParameters::ParseCommandLine(int argc, const char* const* argv) {
  // The option values outlive the parser's scope only through the copies
  // made into the record below.
  std::vector<std::string> roiTexts;
  std::string videoInfo;
  try {
    MyOutput usagePrinter;
    TCLAP::CmdLine cmd(kUsageExamples, ' ', kPedscanVersion, true);
    cmd.setOutput(&usagePrinter);
    // Failures come back here so that the report can travel as a Failure
    // and main decides the exit, after flushing what was printed.
    cmd.setExceptionHandling(false);

    // Registered in the order of the usage listing.
    TCLAP::ValueArg<int32_t> paddingArg(
        "P", "pad",
        WithDefault("detection scans each frame with this many pixels of its border repeated "
                    "around it, so that objects cut by the frame border are found; boxes stay "
                    "inside the frame",
                    Format("%d", padding)),
        false, padding, "pixels");
    cmd.add(paddingArg);
    TCLAP::ValueArg<float> overlapArg(
        "O", "overlap",
        WithDefault("suppression (-s, -g) removes the weaker of two boxes whose intersection over "
                    "union exceeds this",
                    Format("%g", overlap)),
        false, overlap, "number");
    cmd.add(overlapArg);
    TCLAP::SwitchArg placeBoxesArg(
        "L", "placeBoxes",
        "with -g, place each box kept at the mean of the stage-0 windows that overlap it, weighted "
        "by their responses");
    cmd.add(placeBoxesArg);
    TCLAP::ValueArg<float> containedArg(
        "K", "contained",
        WithDefault("with -g, remove each box that lies by this part of its area or more inside a "
                    "stronger, taller box; 0 removes none",
                    Format("%g", contained)),
        false, contained, "number");
    cmd.add(containedArg);
    TCLAP::ValueArg<float> softArg(
        "G", "soft",
        WithDefault("with -g, keep the weaker of two overlapping boxes and lower its response instead of "
                    "removing it: a box overlapping a stronger one by o has its response multiplied by "
                    "exp(-o * o / width), and goes if it then fails the last stage's threshold; 0 removes "
                    "the weaker box as -g alone does",
                    Format("%g", soft)),
        false, soft, "width");
    cmd.add(softArg);
    TCLAP::ValueArg<int32_t> threadsArg(
        "j", "threads",
        WithDefault("number of worker threads; 0 uses every core available to the process",
                    Format("%d", threads)),
        false, threads, "number");
    cmd.add(threadsArg);
    TCLAP::SwitchArg cameraArg("a", "camera",
                               "perform detection using stream from an attached camera");
    cmd.add(cameraArg);
    TCLAP::ValueArg<std::string> videoInfoArg(
        "v", "videoInfo",
        "set initial, last, and step for frames of an input video. If not set, the detection "
        "will be performed for every frame (if last set to -1, detection will be until the last "
        "frame of the video)",
        false, "0,-1,1", "first,last,step");
    cmd.add(videoInfoArg);
    TCLAP::ValueArg<int32_t> nSampImArg(
        "M", "nSampIm",
        WithDefault("initial number of samples per image for the training", Format("%d", nSampIm)),
        false, nSampIm, "number");
    cmd.add(nSampImArg);
    TCLAP::ValueArg<int32_t> nRetItArg(
        "I", "nRetIt",
        WithDefault("maximum number of iterations for retraining", Format("%d", nRetIt)), false,
        nRetIt, "number");
    cmd.add(nRetItArg);
    TCLAP::ValueArg<int32_t> samplesItArg(
        "R", "samplesIt",
        WithDefault("maximum number of samples that may be added per iteration of retraining",
                    Format("%d", samplesIt)),
        false, samplesIt, "number");
    cmd.add(samplesItArg);
    TCLAP::ValueArg<int32_t> nblockItArg(
        "B", "nblockIt",
        WithDefault("number of blocks to be considered to extract features",
                    Format("%d", nblockIt)),
        false, nblockIt, "number");
    cmd.add(nblockItArg);
    TCLAP::SwitchArg cvArg("C", "cv", "set to run cross-validation");
    cmd.add(cvArg);
    TCLAP::ValueArg<int32_t> nfoldsArg(
        "F", "nfolds",
        WithDefault("number of folds used for cross-validation", Format("%d", nfolds)), false,
        nfolds, "number");
    cmd.add(nfoldsArg);
    TCLAP::ValueArg<float> thRetrainingArg(
        "T", "ThRetraining",
        WithDefault("threshold used to select samples for the retraining",
                    Format("%5.3f", ThRetraining)),
        false, ThRetraining, "number");
    cmd.add(thRetrainingArg);
    TCLAP::ValueArg<int32_t> shiftArg(
        "S", "shift",
        WithDefault("shift (in pixels) of the detection window for training", Format("%d", shift)),
        false, shift, "number");
    cmd.add(shiftArg);
    TCLAP::ValueArg<int32_t> nfactBlockArg(
        "f", "nfactBlock",
        WithDefault("number of factors per block if block models are used",
                    Format("%d", nfactBlock)),
        false, nfactBlock, "number");
    cmd.add(nfactBlockArg);
    TCLAP::SwitchArg rawFeaturesArg("w", "rawFeatures", "use raw features instead of block models");
    cmd.add(rawFeaturesArg);
    TCLAP::ValueArg<int32_t> seedArg(
        "z", "seed",
        WithDefault("seed to initialize random generator to choose subset of training samples (-1 "
                    "to choose a random value)",
                    Format("%d", seed)),
        false, seed, "number");
    cmd.add(seedArg);
    TCLAP::ValueArg<std::string> modelFileArg(
        "m", "modelFile", WithDefault("filename to save learned models", modelFile), false,
        modelFile, "filename");
    cmd.add(modelFileArg);
    TCLAP::SwitchArg drawEllipseArg("e", "drawEllipse",
                                    "draw an ellipse instead of a rectangle as bounding box");
    cmd.add(drawEllipseArg);
    TCLAP::SwitchArg drawBBArg("b", "drawBB",
                               "draw bounding boxes (don't save image output if -b is not set)");
    cmd.add(drawBBArg);
    TCLAP::SwitchArg stageNonMaxSupArg("g", "stageNonMaxSup",
                                       "execute non-maximum suppression after each stage");
    cmd.add(stageNonMaxSupArg);
    TCLAP::SwitchArg nonMaxSupArg("s", "nonMaxSup",
                                  "execute non-maximum suppression after detection");
    cmd.add(nonMaxSupArg);
    TCLAP::ValueArg<std::string> filemaskArg(
        "k", "filemask",
        WithDefault("filemask for the input images (separated by comma)", filemask), false,
        filemask, "string");
    cmd.add(filemaskArg);
    TCLAP::ValueArg<std::string> positiveArg(
        "p", "positive",
        "directory with images for positive class (training) (extension defined by -k)", false, "",
        "directory");
    cmd.add(positiveArg);
    TCLAP::ValueArg<std::string> negativeArg(
        "n", "negative",
        "directory with images for negative class (training) (extension defined by -k)", false, "",
        "directory");
    cmd.add(negativeArg);
    TCLAP::ValueArg<std::string> inputArg(
        "i", "input",
        "input image, video, or directory with set of images (extension defined by -k)", false, "",
        "file/directory");
    cmd.add(inputArg);
    TCLAP::ValueArg<std::string> outputArg("o", "output", "directory to store results", false, "",
                                           "directory");
    cmd.add(outputArg);
    TCLAP::ValueArg<std::string> configfileArg("c", "configfile", "config file", true, "",
                                               "filename");
    cmd.add(configfileArg);
    TCLAP::SwitchArg trainingArg("t", "training", "execute training");
    TCLAP::SwitchArg detectionArg("d", "detection", "execute detection");
    TCLAP::SwitchArg featuresArg("u", "features", "only extract features");
    cmd.xorAdd({&trainingArg, &detectionArg, &featuresArg});
    TCLAP::UnlabeledMultiArg<std::string> roisArg(
        "rois", "multiple ROI for a given image. Format: x1,y1,w1,h1 x2,y2,w2,h2 ...", false,
        "x,y,w,h");
    cmd.add(roisArg);

    try {
      cmd.parse(argc, argv);
    } catch (TCLAP::ArgException& error) {
      CerrCapture report;
      try {
        usagePrinter.failure(cmd, error);
      } catch (TCLAP::ExitException& exit) {
        throw Failure(Failure::Form::kParser, report.text(), exit.getExitStatus());
      }
      throw Failure(Failure::Form::kParser, report.text(), 1);
    } catch (TCLAP::ExitException& exit) {
      // -h/--help or --version: the text is already on stdout.
      throw Failure(Failure::Form::kParser, "", exit.getExitStatus());
    }

    threads = threadsArg.getValue();
    padding = paddingArg.getValue();
    camera = cameraArg.getValue();
    videoInfo = videoInfoArg.getValue();
    nSampIm = nSampImArg.getValue();
    nRetIt = nRetItArg.getValue();
    samplesIt = samplesItArg.getValue();
    nblockIt = nblockItArg.getValue();
    cv = cvArg.getValue();
    nfolds = nfoldsArg.getValue();
    ThRetraining = thRetrainingArg.getValue();
    shift = shiftArg.getValue();
    nfactBlock = nfactBlockArg.getValue();
    rawFeatures = rawFeaturesArg.getValue();
    seed = seedArg.getValue();
    modelFile = modelFileArg.getValue();
    drawEllipse = drawEllipseArg.getValue();
    drawBB = drawBBArg.getValue();
    stageNonMaxSup = stageNonMaxSupArg.getValue();
    overlap = overlapArg.getValue();
    overlapGiven = overlapArg.isSet();
    placeBoxes = placeBoxesArg.getValue();
    soft = softArg.getValue();
    contained = containedArg.getValue();
    nonMaxSup = nonMaxSupArg.getValue();
    filemask = filemaskArg.getValue();
    positive = positiveArg.getValue();
    negative = negativeArg.getValue();
    input = inputArg.getValue();
    output = outputArg.getValue();
    configfile = configfileArg.getValue();
    training = trainingArg.getValue();
    detection = detectionArg.getValue();
    features = featuresArg.getValue();
    roiTexts = roisArg.getValue();
  } catch (TCLAP::ArgException& error) {
    // Only a broken option table gets here; a run cannot go on without it.
    throw Failure(Failure::Form::kParser,
                  "error: " + error.error() + " for arg " + error.argId() + "\n", 1);
  }

  auto parsedRois = std::make_unique<std::vector<ROI>>();
  for (const std::string& text : roiTexts) parsedRois->push_back(ParseRoi(text));
  rois = std::move(parsedRois);

  // Fields the text does not supply keep their defaults: "5" sets only the
  // first frame, and a text that starts with no number changes nothing.
  std::sscanf(videoInfo.c_str(), "%d,%d,%d", &videoFirst, &videoLast, &videoStep);

  CheckParametersConsistency();
}

void InputParameters::CheckParametersConsistency() {
  if (threads < 0) {
    Fatal(kSource, kCheckFunction, kNegativeThreads.line, Format(kNegativeThreads.message, threads));
  }
  if (padding < 0 || padding > kLargestPadding) {
    Fatal(kSource, kCheckFunction, kBadPadding.line, Format(kBadPadding.message, padding));
  }
  if (!(overlap >= 0.0f && overlap <= 1.0f)) {
    Fatal(kSource, kCheckFunction, kBadOverlap.line, Format(kBadOverlap.message, static_cast<double>(overlap)));
  }
  if (overlapGiven && !nonMaxSup && !stageNonMaxSup) FailCheck(kOverlapWithoutSuppression);
  if (placeBoxes && !stageNonMaxSup) FailCheck(kPlacementWithoutStages);
  if (!(contained >= 0.0f && contained <= 1.0f)) {
    Fatal(kSource, kCheckFunction, kBadContainment.line,
          Format(kBadContainment.message, static_cast<double>(contained)));
  }
  if (contained > 0.0f && !stageNonMaxSup) FailCheck(kContainmentWithoutStages);
  if (!(soft >= 0.0f && std::isfinite(soft))) {
    Fatal(kSource, kCheckFunction, kBadSoftWidth.line, Format(kBadSoftWidth.message, static_cast<double>(soft)));
  }
  if (soft > 0.0f && !stageNonMaxSup) FailCheck(kSoftWithoutStages);
  if (soft > 0.0f && overlapGiven && !nonMaxSup) FailCheck(kOverlapWithSoft);
  if (camera && training) FailCheck(kCameraForTraining);
  if (camera && !input.empty()) FailCheck(kCameraWithInput);

  const bool scansInput = detection || features;
  if (scansInput && input.empty() && !camera) FailCheck(kNoInput);
  if (scansInput && output.empty()) FailCheck(kNoOutput);
  if (scansInput && !negative.empty()) FailCheck(kNegativeOutsideTraining);
  if (scansInput && !positive.empty()) FailCheck(kPositiveOutsideTraining);

  if (training && negative.empty()) FailCheck(kNoNegative);
  if (training && positive.empty()) FailCheck(kNoPositive);
  if (training && !input.empty()) FailCheck(kInputInTraining);
  if (training && !output.empty()) FailCheck(kOutputInTraining);

  if (scansInput && !camera) ClassifyInput();

  // In training mode and with the camera no kind is set, so any ROI fails.
  if (rois && !rois->empty() && !isImage) FailCheck(kRoisWithoutImage);
}

void InputParameters::ClassifyInput() {
  cv::Mat image;
  switch (pedscan::ClassifyInput(input, &image)) {
    case InputKind::kDirectory:
      isDirectory = true;
      break;
    case InputKind::kImage:
      isImage = true;
      CheckROIs(image);
      break;
    case InputKind::kVideo:
      isVideo = true;
      break;
  }
}

void InputParameters::CheckROIs(const cv::Mat& image) const {
  if (rois) CheckRegions(*rois, image);
}

}  // namespace pedscan
