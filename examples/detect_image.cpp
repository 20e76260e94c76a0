// Detects objects in one image through the library alone:
//   detect_image data/detect.txt data/example/vtest-0440.png
#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "detection/detector.h"
#include "support/failure.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: detect_image <detection configuration> <image>\n");
    return 2;
  }
  try {
    pedscan::Detector detector(argv[1]);
    pedscan::Detections found = detector.Detect(cv::imread(argv[2], cv::IMREAD_COLOR));
    pedscan::Detector::Suppress(found);
    for (size_t t = 0; t < found.windows.size(); ++t) {
      for (const pedscan::DetectionWindow& w : found.windows[t]) {
        std::printf("%s %d %d %d %d %.4f\n", detector.objectTypes()[t].c_str(), w.x, w.y,
                    static_cast<int>(w.width), static_cast<int>(w.height), w.response);
      }
    }
  } catch (const pedscan::Failure& failure) {
    return pedscan::ReportFailure(failure);
  }
  return 0;
}
