// A copy of the source video with each frame's results drawn on it.
//
// Result names are matched to the frames of the video by their number:
// "<video stem><frame, 8 digits>" as detection names the frames of that
// video, or else plain numbers ("0440", frames saved one image each). Each
// box is drawn as a rectangle in its type's colour — the colours detection's
// -b drawing gives the types in the same order — with the type and score
// written above it. Every frame of the source is written, those without a
// result file unchanged, at the source's frame rate and size: MJPG in an AVI
// file, or mp4v for a name ending in ".mp4".
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "result_folder.h"

namespace pedscan {
namespace exporting {

struct VideoExport {
  std::string source;
  std::string output;  // ".avi" or ".mp4"
  int thickness = 3;   // of the rectangles, in pixels
};

struct VideoSummary {
  int frames = 0;     // written
  int annotated = 0;  // of which had a result file
  double fps = 0;
  cv::Size size;
};

// The colour detection draws the object type at `position` (sorted order) in.
cv::Scalar TypeColour(size_t position);

// Draws one frame's boxes.
void DrawFrame(cv::Mat& image, const ResultFrame& frame, const std::vector<std::string>& types,
               int thickness);

// Writes the annotated video under a temporary name beside the output and
// renames it when complete. Fails (plain report, status 2) on a source that
// cannot be opened, an output that cannot be written, results that name no
// frame of the source, and results beyond its last frame; the output name is
// then left as it was.
VideoSummary WriteAnnotatedVideo(const ResultFolder& results, const VideoExport& options);

}  // namespace exporting
}  // namespace pedscan
