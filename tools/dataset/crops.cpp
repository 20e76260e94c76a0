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
#include <tclap/CmdLine.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/box_file.h"
#include "support/directory.h"
#include "support/failure.h"
#include "wrong_command_line.h"

using pedscan::WrongCommandLine;

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

int WriteCrops(const std::string& video, const std::string& gtdir, int first, int last, int step,
               const std::string& posdir, const std::string& negdir) {
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

namespace {

// Value `index` of the form as an integer of at least `minimum`, named
// `name` in the report.
int Integer(TCLAP::CmdLine& cmd, const std::vector<std::string>& values, size_t index,
            const char* name, int minimum) {
  const std::string& text = values[index];
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) {
    WrongCommandLine(cmd, name,
                     pedscan::Format("<%s> must be an integer, not '%s'", name, text.c_str()));
  }
  if (value < minimum) {
    WrongCommandLine(cmd, name, pedscan::Format("<%s> must be at least %d, not '%s'", name,
                                                minimum, text.c_str()));
  }
  return static_cast<int>(value);
}

// The frame range <first> <last> at values[index] and values[index + 1].
std::pair<int, int> FrameRange(TCLAP::CmdLine& cmd, const std::vector<std::string>& values,
                               size_t index) {
  const int first = Integer(cmd, values, index, "first", 0);
  const int last = Integer(cmd, values, index + 1, "last", first);
  return {first, last};
}

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Cuts training images for the person model out of a fixed-camera video. Forms:\n"
      "  crops <video> <gtdir> <first> <last> <frameStep> <posdir> <negdir>\n"
      "  crops --frames <video> <first> <last> <dir>\n"
      "  crops --example <video> <frame> <x> <y> <w> <h> <out.png>\n"
      "  crops --sheet <dir> <every> <out.png>",
      ' ', "0.1.0");
  TCLAP::SwitchArg sheetArg("", "sheet",
                            "tile every <every>-th image of <dir>, at twice its size, into one "
                            "contact sheet");
  cmd.add(sheetArg);
  TCLAP::SwitchArg exampleArg("", "example",
                              "cut the region <x> <y> <w> <h> of frame <frame> as the example image");
  cmd.add(exampleArg);
  TCLAP::SwitchArg framesArg("", "frames", "only write frames <first>..<last> as <dir>/<frame>.png");
  cmd.add(framesArg);
  TCLAP::UnlabeledMultiArg<std::string> valuesArg(
      "values",
      "the values of the form: without a form switch, crops of every <frameStep>-th frame of "
      "<first>..<last> around the boxes of <gtdir>/<frame>.txt into <posdir>, and scenes without "
      "people into <negdir>",
      true, "value");
  cmd.add(valuesArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::vector<std::string>& values = valuesArg.getValue();
  const int forms = sheetArg.getValue() + exampleArg.getValue() + framesArg.getValue();
  if (forms > 1) {
    WrongCommandLine(cmd, "form", "choose at most one of --frames, --example and --sheet");
  }
  auto expect = [&](size_t count, const char* form) {
    if (values.size() != count) {
      WrongCommandLine(cmd, "values", pedscan::Format("crops %s takes %zu values, not %zu", form,
                                                      count, values.size()));
    }
  };
  if (sheetArg.getValue()) {
    expect(3, "--sheet <dir> <every> <out.png>");
    return WriteSheet(values[0], Integer(cmd, values, 1, "every", 1), values[2]);
  }
  if (exampleArg.getValue()) {
    expect(7, "--example <video> <frame> <x> <y> <w> <h> <out.png>");
    const cv::Rect region(Integer(cmd, values, 2, "x", INT_MIN), Integer(cmd, values, 3, "y", INT_MIN),
                          Integer(cmd, values, 4, "w", 1), Integer(cmd, values, 5, "h", 1));
    return WriteExample(values[0], Integer(cmd, values, 1, "frame", 0), region, values[6]);
  }
  if (framesArg.getValue()) {
    expect(4, "--frames <video> <first> <last> <dir>");
    const std::pair<int, int> range = FrameRange(cmd, values, 1);
    return WriteFrames(values[0], range.first, range.second, values[3]);
  }
  expect(7, "<video> <gtdir> <first> <last> <frameStep> <posdir> <negdir>");
  const std::pair<int, int> range = FrameRange(cmd, values, 2);
  return WriteCrops(values[0], values[1], range.first, range.second,
                    Integer(cmd, values, 4, "frameStep", 1), values[5], values[6]);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const TCLAP::ExitException& e) {
    return e.getExitStatus();
  } catch (const pedscan::Failure& f) {
    std::fprintf(stderr, "crops: %s", f.text().c_str());
    return 1;
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "crops: %s\n", e.what());
    return 1;
  }
}
