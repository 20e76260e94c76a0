// Turns a detection result folder (the *.txt files of `pedscan -d`) into
// files other programs read: COCO results JSON, JSON Lines, and a copy of
// the source video with the boxes drawn.
//
//   export <resultDir> [-c results.json] [-l results.jsonl]
//          [-a annotated.avi -s source.avi] [-t type,type...] [-w thickness]
//
// Any combination of outputs in one run; the folder is read once, whole,
// before anything is written, so a malformed result file leaves every
// output as it was.
#include <tclap/CmdLine.h>

#include <cstdio>
#include <string>
#include <vector>

#include "annotated_video.h"
#include "formats.h"
#include "result_folder.h"
#include "support/failure.h"
#include "support/text.h"
#include "wrong_command_line.h"

using namespace pedscan;
using namespace pedscan::exporting;

namespace {

constexpr int kMaxThickness = 50;

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Exports a pedscan detection result folder as COCO results JSON (with a .meta.json of "
      "image and category ids), JSON Lines (one frame a line) and an annotated copy of the "
      "source video.",
      ' ', "0.1.0");
  TCLAP::ValueArg<int> thicknessArg("w", "thickness", "line width of the drawn boxes [3]", false, 3,
                                    "pixels");
  cmd.add(thicknessArg);
  TCLAP::ValueArg<std::string> typesArg(
      "t", "types",
      "the object types of the run, comma-separated (several: files <frame>.<type>.txt; one: "
      "<frame>.txt) [recognised from the file names; a single type is called 'object']",
      false, "", "type,...");
  cmd.add(typesArg);
  TCLAP::ValueArg<std::string> sourceArg(
      "s", "source", "the video the results were detected on (with -a)", false, "", "video");
  cmd.add(sourceArg);
  TCLAP::ValueArg<std::string> videoArg(
      "a", "annotated", "write the source video with the boxes drawn: .avi (MJPG) or .mp4 (mp4v)",
      false, "", "video.avi");
  cmd.add(videoArg);
  TCLAP::ValueArg<std::string> linesArg("l", "jsonl", "write JSON Lines, one frame a line", false,
                                        "", "results.jsonl");
  cmd.add(linesArg);
  TCLAP::ValueArg<std::string> cocoArg(
      "c", "coco", "write COCO results JSON, and <name>.meta.json with the image and category ids",
      false, "", "results.json");
  cmd.add(cocoArg);
  TCLAP::UnlabeledValueArg<std::string> folderArg(
      "resultDir", "the folder pedscan -d wrote its result files to", true, "", "resultDir");
  cmd.add(folderArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string coco = cocoArg.getValue(), lines = linesArg.getValue();
  const std::string video = videoArg.getValue(), source = sourceArg.getValue();
  if (coco.empty() && lines.empty() && video.empty())
    WrongCommandLine(cmd, "coco", "name at least one output: -c, -l or -a");
  if (video.empty() != source.empty())
    WrongCommandLine(cmd, video.empty() ? "annotated" : "source",
                     "-a (the annotated video) and -s (its source) go together");
  if (thicknessArg.getValue() < 1 || thicknessArg.getValue() > kMaxThickness)
    WrongCommandLine(cmd, "thickness", Format("must be 1 to %d pixels", kMaxThickness));
  std::vector<std::string> types;
  if (!typesArg.getValue().empty()) {
    for (const std::string& type : Split(typesArg.getValue(), ',')) {
      if (type.empty() || type.find('.') != std::string::npos)
        WrongCommandLine(cmd, "types", "type names are not empty and have no '.'");
      types.push_back(type);
    }
  }

  const ResultFolder results = ReadResultFolder(folderArg.getValue(), types, "object");
  size_t boxes = 0;
  for (const ResultFrame& frame : results.frames) boxes += frame.boxes.size();
  std::string typeList;
  for (const std::string& t : results.types) typeList += (typeList.empty() ? "" : ", ") + t;
  std::printf("%zu frames, %zu boxes, types: %s\n", results.frames.size(), boxes, typeList.c_str());

  if (!coco.empty()) {
    // The ids file first: results never appear without the key to their ids.
    WriteTextFile(CocoIndexPath(coco), CocoIndex(results));
    WriteTextFile(coco, CocoResults(results));
    std::printf("COCO results: %s (ids: %s)\n", coco.c_str(), CocoIndexPath(coco).c_str());
  }
  if (!lines.empty()) {
    WriteTextFile(lines, JsonLines(results));
    std::printf("JSON Lines: %s\n", lines.c_str());
  }
  if (!video.empty()) {
    const VideoSummary s = WriteAnnotatedVideo(results, {source, video, thicknessArg.getValue()});
    std::printf("annotated video: %s (%d frames, %d with results, %dx%d, %g fps)\n", video.c_str(),
                s.frames, s.annotated, s.size.width, s.size.height, s.fps);
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
    // OpenCV's own failures (a codec refusing a frame) as a plain report.
    return ReportFailure(Failure(Failure::Form::kPlain, Format("%s\n", e.what()), 2));
  }
}
