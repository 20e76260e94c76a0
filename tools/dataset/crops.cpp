// Cuts training images for the person model out of a fixed-camera video.
//
//   crops <video> <gtdir> <first> <last> <frameStep> <posdir> <negdir>
//   crops --frames <video> <first> <last> <dir>
//   crops --example <video> <frame> <x> <y> <w> <h> <out.png>
//   crops --sheet <dir> <every> <out.png>
//
// The second form only writes frames first..last as <dir>/<frame %04d>.png,
// the images that detection and evaluation run on. The third cuts the
// bundled example image (a region of one validation frame, small enough to
// keep in the repository) out of the video. The fourth tiles every
// <every>-th image of a directory of crops, at twice their size, into one
// contact sheet for checking the crops by eye.
//
// pos: for every ground-truth box of every frameStep-th frame in first..last,
// the window around it, scaled so that the person fills the model's object
// box (<6, 8, 20, 48> inside a 32 x 64 window), plus its mirror image.
// neg: the scene without people — the per-pixel median of the frames, at
// several scales because detection shrinks the frame for tall people — and
// tiles of the frames that keep well clear of every ground-truth box.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/box_file.h"
#include "support/directory.h"
#include "support/failure.h"

namespace {

constexpr int kWindowW = 32, kWindowH = 64;
constexpr int kObjX = 6, kObjY = 8, kObjW = 20, kObjH = 48;
constexpr int kTile = 128;

// The boxes of one ground-truth file; a missing file or a malformed line
// stops the run with a message naming the file and line, so that no frame's
// people silently become background.
std::vector<cv::Rect> ReadBoxes(const std::string& path) {
  std::vector<cv::Rect> boxes;
  for (const pedscan::FileBox& b : pedscan::ReadBoxFile(path, false)) {
    boxes.push_back(cv::Rect(cvRound(b.x), cvRound(b.y), cvRound(b.width), cvRound(b.height)));
  }
  return boxes;
}

cv::Mat WindowAround(const cv::Mat& frame, const cv::Rect& person) {
  const double s = person.height / static_cast<double>(kObjH);
  const double cx = person.x + person.width / 2.0;
  const double x0 = cx - (kObjX + kObjW / 2.0) * s;
  const double y0 = person.y - kObjY * s;
  // Affine map window -> frame, sampled with a replicated border.
  cv::Mat m = (cv::Mat_<double>(2, 3) << s, 0, x0, 0, s, y0);
  cv::Mat out;
  cv::warpAffine(frame, out, m, cv::Size(kWindowW, kWindowH),
                 cv::INTER_AREA | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  return out;
}

bool Write(const char* path, const cv::Mat& image) {
  if (cv::imwrite(path, image)) return true;
  std::fprintf(stderr, "crops: cannot write '%s'\n", path);
  return false;
}

}  // namespace

int WriteFrames(const std::string& video, int first, int last, const std::string& dir) {
  cv::VideoCapture cap(video);
  if (!cap.isOpened()) {
    std::fprintf(stderr, "crops: cannot open video '%s'\n", video.c_str());
    return 1;
  }
  cv::Mat frame;
  char name[256];
  for (int i = 0; i <= last; ++i) {
    if (!cap.read(frame)) {
      std::fprintf(stderr, "crops: no frame %d in '%s'\n", i, video.c_str());
      return 1;
    }
    if (i < first) continue;
    std::snprintf(name, sizeof name, "%s/%04d.png", dir.c_str(), i);
    if (!Write(name, frame)) return 1;
  }
  return 0;
}

int WriteExample(const std::string& video, int index, cv::Rect region, const std::string& out) {
  cv::VideoCapture cap(video);
  cv::Mat frame;
  for (int i = 0; i <= index; ++i)
    if (!cap.read(frame)) {
      std::fprintf(stderr, "crops: no frame %d in '%s'\n", index, video.c_str());
      return 1;
    }
  region &= cv::Rect(0, 0, frame.cols, frame.rows);
  if (!cv::imwrite(out, frame(region), {cv::IMWRITE_PNG_COMPRESSION, 9})) {
    std::fprintf(stderr, "crops: cannot write '%s'\n", out.c_str());
    return 1;
  }
  return 0;
}

int WriteSheet(const std::string& dir, int every, const std::string& out) {
  const std::vector<std::string> names = pedscan::ListFiles(dir, "*.png");
  std::vector<cv::Mat> tiles;
  for (size_t i = 0; i < names.size() && tiles.size() < 240; i += std::max(1, every)) {
    cv::Mat m = cv::imread(names[i], cv::IMREAD_COLOR), big;
    if (m.empty()) continue;
    cv::resize(m, big, cv::Size(64, 128), 0, 0, cv::INTER_NEAREST);
    tiles.push_back(big);
  }
  if (tiles.empty()) {
    std::fprintf(stderr, "crops: no images in '%s'\n", dir.c_str());
    return 1;
  }
  const int columns = 20, rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
  cv::Mat sheet(rows * 130, columns * 66, CV_8UC3, cv::Scalar(255, 255, 255));
  for (size_t i = 0; i < tiles.size(); ++i)
    tiles[i].copyTo(sheet(cv::Rect(static_cast<int>(i % columns) * 66, static_cast<int>(i / columns) * 130, 64, 128)));
  return cv::imwrite(out, sheet) ? 0 : 1;
}

int Run(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--sheet") return WriteSheet(argv[2], std::atoi(argv[3]), argv[4]);
  if (argc == 9 && std::string(argv[1]) == "--example")
    return WriteExample(argv[2], std::atoi(argv[3]),
                        cv::Rect(std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7])), argv[8]);
  if (argc == 6 && std::string(argv[1]) == "--frames")
    return WriteFrames(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (argc < 8) {
    std::fprintf(stderr, "usage: crops <video> <gtdir> <first> <last> <frameStep> <posdir> <negdir>\n");
    return 1;
  }
  const std::string video = argv[1], gtdir = argv[2], posdir = argv[6], negdir = argv[7];
  const int first = std::atoi(argv[3]), last = std::atoi(argv[4]), step = std::max(1, std::atoi(argv[5]));
  cv::VideoCapture cap(video);
  if (!cap.isOpened()) {
    std::fprintf(stderr, "crops: cannot open video '%s'\n", video.c_str());
    return 1;
  }
  std::vector<cv::Mat> samples;
  cv::Mat frame;
  int npos = 0, nneg = 0;
  char name[256];
  for (int i = 0; i <= last; ++i) {
    if (!cap.read(frame)) {
      std::fprintf(stderr, "crops: no frame %d in '%s'\n", i, video.c_str());
      return 1;
    }
    if (i < first) continue;
    if (i % 5 == 0) samples.push_back(frame.clone());
    if ((i - first) % step != 0) continue;
    std::snprintf(name, sizeof name, "%s/%04d.txt", gtdir.c_str(), i);
    std::vector<cv::Rect> boxes = ReadBoxes(name);
    for (size_t b = 0; b < boxes.size(); ++b) {
      cv::Mat crop = WindowAround(frame, boxes[b]), mirrored;
      cv::flip(crop, mirrored, 1);
      std::snprintf(name, sizeof name, "%s/f%04d_%zu.png", posdir.c_str(), i, b);
      if (!Write(name, crop)) return 1;
      std::snprintf(name, sizeof name, "%s/f%04d_%zu_m.png", posdir.c_str(), i, b);
      if (!Write(name, mirrored)) return 1;
      npos += 2;
    }
    // Background tiles of this frame, clear of every person by a margin.
    if ((i - first) % (step * 10) == 0) {
      for (int y = 0; y + kTile <= frame.rows; y += kTile / 2)
        for (int x = 0; x + kTile <= frame.cols; x += kTile / 2) {
          cv::Rect tile(x, y, kTile, kTile);
          bool clear = true;
          for (const auto& r : boxes) {
            cv::Rect grown(r.x - r.width, r.y - r.height / 2, r.width * 3, r.height * 2);
            clear = clear && (grown & tile).area() == 0;
          }
          if (!clear) continue;
          std::snprintf(name, sizeof name, "%s/t%04d_%d_%d.png", negdir.c_str(), i, x, y);
          if (!Write(name, frame(tile))) return 1;
          ++nneg;
        }
    }
  }
  // Temporal median background: moving people never hold a pixel for long.
  if (!samples.empty()) {
    cv::Mat median(samples[0].size(), CV_8UC3);
    std::vector<uchar> v(samples.size());
    for (int y = 0; y < median.rows; ++y)
      for (int x = 0; x < median.cols; ++x)
        for (int c = 0; c < 3; ++c) {
          for (size_t k = 0; k < samples.size(); ++k) v[k] = samples[k].at<cv::Vec3b>(y, x)[c];
          std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
          median.at<cv::Vec3b>(y, x)[c] = v[v.size() / 2];
        }
    for (double scale : {1.1, 1.0, 0.9, 0.8, 0.7, 0.6, 0.5, 0.42, 0.35, 0.28}) {
      cv::Mat scaled;
      cv::resize(median, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
      std::snprintf(name, sizeof name, "%s/median_%03d.png", negdir.c_str(), static_cast<int>(scale * 100));
      if (!Write(name, scaled)) return 1;
      ++nneg;
    }
  }
  std::printf("%d positive crops, %d negative images\n", npos, nneg);
  return 0;
}

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const pedscan::Failure& f) {
    std::fprintf(stderr, "crops: %s", f.text().c_str());
    return 1;
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "crops: %s\n", e.what());
    return 1;
  }
}
