// Cuts training windows for a model out of annotated images.
//
//   windows -c <model configuration> -p <posdir> [-n <negdir>] [--class name]...
//           [--images dir] [--mirror] [--jitter N] [--sheet out.png]
//           [--frames first-last] <annotations>
//
// <annotations> is a folder of pedscan text, Pascal VOC XML or labelme JSON
// files, or one COCO JSON or imglab XML file. The window and object box come
// from the configuration's "window" and "object" lines, so the windows fit
// whatever model is trained from them.
#include <tclap/CmdLine.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "annotation/annotation.h"
#include "support/atomic_file.h"
#include "support/failure.h"
#include "training_windows.h"
#include "wrong_command_line.h"

using namespace pedscan;

namespace {

// A class asked for that no image has is a typing slip, not an empty class.
void CheckClasses(const std::vector<annotation::Image>& images, const annotation::ClassFilter& filter,
                  const std::string& path) {
  std::set<std::string> present;
  for (const annotation::Image& image : images)
    for (const annotation::Object& object : image.objects) present.insert(object.label);
  if (present.empty() || (present.size() == 1 && present.count("") == 1)) return;
  for (const std::string& wanted : filter.classes) {
    if (present.count(wanted) != 0) continue;
    std::string names;
    for (const std::string& name : present) names += (names.empty() ? "" : ", ") + name;
    FailPlain(Format("%s: no object of class '%s' (classes there: %s)\n", path.c_str(), wanted.c_str(),
                     names.c_str()));
  }
}

// "<first>-<last>", two frame numbers with first <= last; anything else is
// refused rather than guessed at, since a guess could let test frames in.
bool ParseFrameRange(const std::string& text, long long* first, long long* last) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  const std::string parts[2] = {text.substr(0, dash), text.substr(dash + 1)};
  for (const std::string& part : parts)
    if (part.empty() || part.size() > 18 || part.find_first_not_of("0123456789") != std::string::npos)
      return false;
  *first = std::stoll(parts[0]);
  *last = std::stoll(parts[1]);
  return *first <= *last;
}

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Cuts training windows for a model out of annotated images: every object scaled into the "
      "model's object box (positives) and images or tiles clear of every object (negatives).",
      ' ', "0.1.0");
  TCLAP::ValueArg<int> threadsArg("j", "threads", "images cut side by side; 0: every core [0]", false, 0,
                                  "N");
  cmd.add(threadsArg);
  TCLAP::ValueArg<std::string> framesArg("", "frames",
                                         "every image's name must end in a frame number in this "
                                         "range, or nothing is written [any name]",
                                         false, "", "first-last");
  cmd.add(framesArg);
  TCLAP::ValueArg<std::string> sheetArg("", "sheet", "also write a contact sheet of the positives",
                                        false, "", "out.png");
  cmd.add(sheetArg);
  TCLAP::ValueArg<int> nearArg("", "near-negatives",
                                "also write this many negative windows around each object: part "
                                "of it, beside it, far larger (IoU under 0.3 with every object) [0]",
                                false, 0, "N");
  cmd.add(nearArg);
  TCLAP::ValueArg<double> nearScaleArg("", "near-scale",
                                       "largest log-scale change of a near negative's box [0.7]", false,
                                       0.7, "log");
  cmd.add(nearScaleArg);
  TCLAP::ValueArg<double> marginArg("", "margin",
                                    "negative tiles keep this fraction of each object's size away "
                                    "from it [0.5]",
                                    false, 0.5, "fraction");
  cmd.add(marginArg);
  TCLAP::ValueArg<int> tileArg("", "tile",
                               "side of the negative tiles cut around objects; 0: twice the "
                               "window's larger side, -1: none [0]",
                               false, 0, "pixels");
  cmd.add(tileArg);
  TCLAP::SwitchArg borderArg("", "keep-border-cut",
                             "also cut objects that reach outside the image (the window is "
                             "padded by repeating the border)");
  cmd.add(borderArg);
  TCLAP::ValueArg<double> minHeightArg("", "min-height",
                                       "skip objects less tall than this; 0: half the object "
                                       "box's height [0]",
                                       false, 0, "pixels");
  cmd.add(minHeightArg);
  TCLAP::ValueArg<unsigned> seedArg("", "seed", "seed of the jitter [0]", false, 0, "seed");
  cmd.add(seedArg);
  TCLAP::ValueArg<double> shiftArg("", "shift-jitter",
                                   "largest shift of a jittered copy, as a fraction of the "
                                   "object's size [0.05]",
                                   false, 0.05, "fraction");
  cmd.add(shiftArg);
  TCLAP::ValueArg<double> scaleArg("", "scale-jitter",
                                   "largest log-scale change of a jittered copy [0.1]", false, 0.1,
                                   "log");
  cmd.add(scaleArg);
  TCLAP::ValueArg<int> jitterArg("", "jitter", "jittered copies per object besides the exact one [0]",
                                 false, 0, "N");
  cmd.add(jitterArg);
  TCLAP::SwitchArg mirrorArg("", "mirror", "also write every positive mirrored left to right");
  cmd.add(mirrorArg);
  TCLAP::ValueArg<std::string> imagesArg(
      "", "images",
      "find each image here as <name>.png/.jpg/... (needed for pedscan text files, which name "
      "no image)",
      false, "", "dir");
  cmd.add(imagesArg);
  TCLAP::MultiArg<std::string> classArg("", "class", "keep objects of this class (repeatable) [all]",
                                        false, "name");
  cmd.add(classArg);
  TCLAP::ValueArg<std::string> negArg("n", "negatives", "write negative images here", false, "", "negdir");
  cmd.add(negArg);
  TCLAP::ValueArg<std::string> posArg("p", "positives", "write positive windows here", true, "", "posdir");
  cmd.add(posArg);
  TCLAP::ValueArg<std::string> configArg("c", "config",
                                         "model configuration with the window and object lines", true,
                                         "", "config");
  cmd.add(configArg);
  TCLAP::UnlabeledValueArg<std::string> annotationsArg(
      "annotations",
      "folder of pedscan text, Pascal VOC or labelme files, or a COCO JSON or imglab XML file", true,
      "", "annotations");
  cmd.add(annotationsArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  if (jitterArg.getValue() < 0)
    WrongCommandLine(cmd, "jitter", Format("--jitter must be at least 0, not %d", jitterArg.getValue()));
  for (const auto* arg : {&scaleArg, &shiftArg, &marginArg, &minHeightArg, &nearScaleArg})
    if (!(arg->getValue() >= 0) || !(arg->getValue() <= 1e6))
      WrongCommandLine(cmd, arg->getName(),
                       Format("--%s must be a number from 0, not %g", arg->getName().c_str(), arg->getValue()));
  if (nearArg.getValue() < 0 || nearArg.getValue() > 1000)
    WrongCommandLine(cmd, "near-negatives",
                     Format("--near-negatives must be from 0 to 1000, not %d", nearArg.getValue()));
  if (nearArg.getValue() > 0 && !negArg.isSet())
    WrongCommandLine(cmd, "near-negatives", "--near-negatives needs -n, the folder to write them to");
  if (threadsArg.getValue() < 0)
    WrongCommandLine(cmd, "threads", Format("-j must be at least 0, not %d", threadsArg.getValue()));
  if (tileArg.getValue() < -1)
    WrongCommandLine(cmd, "tile", Format("--tile must be at least -1, not %d", tileArg.getValue()));
  long long firstFrame = 0, lastFrame = 0;
  const bool guardFrames = framesArg.isSet();
  if (guardFrames && !ParseFrameRange(framesArg.getValue(), &firstFrame, &lastFrame))
    WrongCommandLine(cmd, "frames",
                     Format("--frames must be two frame numbers <first>-<last> with first <= last, not '%s'",
                            framesArg.getValue().c_str()));

  const dataset::WindowGeometry geometry = dataset::ReadWindowGeometry(configArg.getValue());
  annotation::ClassFilter filter;
  filter.classes = classArg.getValue();
  const std::string path = annotationsArg.getValue();
  const annotation::Format format = annotation::DetectFormat(path);
  const std::vector<annotation::Image> all = annotation::ReadAnnotations(path, format);
  if (guardFrames) {
    // An image outside the range means the folder is not the training set
    // the command line vouches for: refused the way the command line is, on
    // stderr with status 1, and before any folder is made.
    try {
      dataset::CheckFrameRange(all, firstFrame, lastFrame);
    } catch (const Failure& outside) {
      throw Failure(Failure::Form::kParser, outside.text(), 1);
    }
  }
  CheckClasses(all, filter, path);
  const std::vector<annotation::Image> images = annotation::KeepClasses(all, filter);

  dataset::CutOptions options;
  options.mirror = mirrorArg.getValue();
  options.jitter = jitterArg.getValue();
  options.scaleJitter = scaleArg.getValue();
  options.shiftJitter = shiftArg.getValue();
  options.seed = seedArg.getValue();
  options.minHeight = minHeightArg.getValue();
  options.keepBorderCut = borderArg.getValue();
  options.tile = tileArg.getValue() < 0 ? -1 : tileArg.getValue();
  options.margin = marginArg.getValue();
  options.threads = threadsArg.getValue();
  options.nearNegatives = nearArg.getValue();
  options.nearScale = nearScaleArg.getValue();
  const dataset::CutReport report = dataset::CutTrainingWindows(
      images, geometry, options, imagesArg.getValue(), posArg.getValue(), negArg.getValue());

  std::printf("%s: %zu images, %d objects; window %d x %d, object box <%d, %d, %d, %d>\n",
              annotation::FormatName(format), images.size(), report.objects, geometry.windowWidth,
              geometry.windowHeight, geometry.objectBox.x, geometry.objectBox.y, geometry.objectBox.width,
              geometry.objectBox.height);
  std::printf("positives: %d windows in %s\n", report.positives, posArg.getValue().c_str());
  if (!negArg.getValue().empty())
    std::printf("negatives: %d whole images and %d tiles in %s\n", report.negativeImages,
                report.negativeTiles, negArg.getValue().c_str());
  if (!negArg.getValue().empty() && options.nearNegatives > 0)
    std::printf("near negatives: %d windows in %s\n", report.nearNegatives, negArg.getValue().c_str());
  std::printf("skipped: %d smaller than %g px, %d cut by the image border, %d ignore regions\n",
              report.skippedSmall,
              options.minHeight > 0 ? options.minHeight : geometry.objectBox.height / 2.0,
              report.skippedBorder, report.skippedIgnore);
  if (!sheetArg.getValue().empty()) {
    const cv::Mat sheet = dataset::ContactSheet(report.positiveFiles);
    if (sheet.empty()) {
      std::printf("sheet: no positives to show\n");
    } else {
      std::vector<uchar> bytes;
      std::string reason;
      if (!cv::imencode(".png", sheet, bytes) ||
          !WriteFileAtomically(sheetArg.getValue(), bytes.data(), bytes.size(), &reason))
        FailPlain(Format("%s: cannot write: %s\n", sheetArg.getValue().c_str(), reason.c_str()));
      std::printf("sheet: %s\n", sheetArg.getValue().c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const TCLAP::ExitException& e) {
    return e.getExitStatus();
  } catch (const Failure& f) {
    return ReportFailure(f);
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "windows: %s\n", e.what());
    return 1;
  }
}
