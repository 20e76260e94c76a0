// Peer detectors for the comparison with pedscan, built from OpenCV's own
// parts, writing result files in pedscan's format ("x y w h score").
//
//   peers opencv <framesDir> <outDir>
//       OpenCV's pre-trained HOG people detector on the frame upsampled 2x
//       (its 64 x 128 window wants people near 100 px; these are 50-150).
//   peers svm-train <posDir> <negDir> <model.yml>
//       HOG (32 x 64 window, 16 x 16 blocks, 8 x 8 cells) + linear SVM on
//       the same crops as pedscan, 10 random negative windows per image,
//       then one round of hard negatives from scanning the negative images.
//   peers svm <model.yml> <framesDir> <outDir>
//       That detector scanned over the frame.
// Both scans keep every window with a positive margin above -1 (the curves
// need weak detections too) and suppress boxes overlapping a better one by
// an intersection over union above 0.2, as pedscan -s does.
#include <tclap/CmdLine.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ml.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/directory.h"
#include "support/geometry.h"
#include "wrong_command_line.h"

using pedscan::WrongCommandLine;

namespace {

struct Scored {
  cv::Rect2d box;
  double score;
};

// The names of the PNG and JPEG images of a directory, sorted.
std::vector<std::string> ListImages(const std::string& dir) {
  std::vector<std::string> names;
  for (const char* mask : {"*.png", "*.jpg"}) {
    for (const std::string& path : pedscan::ListFiles(dir, mask)) {
      names.push_back(path.substr(dir.size() + 1));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

double Iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  return pedscan::IntersectionOverUnion<double>(a.x, a.y, a.width, a.height, b.x, b.y, b.width,
                                                b.height);
}

std::vector<Scored> Suppress(std::vector<Scored> boxes) {
  std::sort(boxes.begin(), boxes.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
  std::vector<Scored> kept;
  for (const auto& b : boxes) {
    bool overlaps = false;
    for (const auto& k : kept) overlaps = overlaps || Iou(k.box, b.box) > 0.2;
    if (!overlaps) kept.push_back(b);
  }
  return kept;
}

void WriteResults(const std::string& path, const std::vector<Scored>& boxes) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    std::fprintf(stderr, "peers: cannot write '%s'\n", path.c_str());
    std::exit(1);
  }
  for (const auto& b : boxes)
    std::fprintf(f, "%d %d %d %d %.6f\n", static_cast<int>(b.box.x), static_cast<int>(b.box.y),
                 static_cast<int>(b.box.width), static_cast<int>(b.box.height), b.score);
  std::fclose(f);
}

// Runs `detect` on every frame, writes the results, prints seconds per frame.
template <typename Detect>
int ScanFrames(const std::string& framesDir, const std::string& outDir, Detect detect) {
  const std::vector<std::string> names = ListImages(framesDir);
  if (names.empty()) {
    std::fprintf(stderr, "peers: no images in '%s'\n", framesDir.c_str());
    return 1;
  }
  double seconds = 0;
  for (const auto& n : names) {
    cv::Mat frame = cv::imread(framesDir + "/" + n, cv::IMREAD_COLOR);
    if (frame.empty()) {
      std::fprintf(stderr, "peers: cannot read '%s/%s'\n", framesDir.c_str(), n.c_str());
      return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Scored> boxes = Suppress(detect(frame));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    WriteResults(outDir + "/" + n.substr(0, n.size() - 4) + ".txt", boxes);
  }
  std::printf("%.3f s per frame (%zu frames)\n", seconds / names.size(), names.size());
  return 0;
}

// Person box of a 64 x 128 default-detector window (the person is about
// 100 px tall with some 14 px above), at the 20:48 ratio of the ground truth.
cv::Rect2d OpenCvWindowToPerson(const cv::Rect2d& r) {
  const double h = r.height * 100.0 / 128.0, w = h * 20.0 / 48.0;
  return {r.x + (r.width - w) / 2, r.y + r.height * 14.0 / 128.0, w, h};
}

// The object box <6, 8, 20, 48> of the 32 x 64 window.
cv::Rect2d SvmWindowToPerson(const cv::Rect2d& r) {
  const double s = r.height / 64.0;
  return {r.x + 6 * s, r.y + 8 * s, 20 * s, 48 * s};
}

cv::HOGDescriptor SmallHog() {
  return cv::HOGDescriptor(cv::Size(32, 64), cv::Size(16, 16), cv::Size(8, 8), cv::Size(8, 8), 9);
}

std::vector<Scored> Scan(cv::HOGDescriptor& hog, const cv::Mat& frame, double upscale, double step,
                         cv::Rect2d (*toPerson)(const cv::Rect2d&)) {
  cv::Mat big;
  cv::resize(frame, big, cv::Size(), upscale, upscale, cv::INTER_LINEAR);
  std::vector<cv::Rect> found;
  std::vector<double> weights;
  hog.detectMultiScale(big, found, weights, -1.0, cv::Size(4, 4), cv::Size(0, 0), step, 0.0);
  std::vector<Scored> out;
  for (size_t i = 0; i < found.size(); ++i) {
    const cv::Rect2d r(found[i].x / upscale, found[i].y / upscale, found[i].width / upscale,
                       found[i].height / upscale);
    out.push_back({toPerson(r), i < weights.size() ? weights[i] : 0.0});
  }
  return out;
}

cv::Mat Features(cv::HOGDescriptor& hog, const std::vector<cv::Mat>& windows) {
  cv::Mat rows(static_cast<int>(windows.size()), static_cast<int>(hog.getDescriptorSize()), CV_32F);
  for (size_t i = 0; i < windows.size(); ++i) {
    std::vector<float> d;
    hog.compute(windows[i], d);
    std::copy(d.begin(), d.end(), rows.ptr<float>(static_cast<int>(i)));
  }
  return rows;
}

std::vector<float> TrainSvm(cv::HOGDescriptor& hog, const std::vector<cv::Mat>& pos, const std::vector<cv::Mat>& neg) {
  cv::Mat x;
  cv::vconcat(Features(hog, pos), Features(hog, neg), x);
  cv::Mat y(x.rows, 1, CV_32S, cv::Scalar(-1));
  y.rowRange(0, static_cast<int>(pos.size())).setTo(1);
  cv::Ptr<cv::ml::SVM> svm = cv::ml::SVM::create();
  svm->setType(cv::ml::SVM::C_SVC);
  svm->setKernel(cv::ml::SVM::LINEAR);
  svm->setC(0.01);
  svm->setTermCriteria(cv::TermCriteria(cv::TermCriteria::MAX_ITER + cv::TermCriteria::EPS, 10000, 1e-6));
  svm->train(x, cv::ml::ROW_SAMPLE, y);
  // A linear SVM keeps one compressed support vector: w, and the margin is
  // -(w.x - rho) with OpenCV's sign convention for the first class label.
  cv::Mat sv = svm->getSupportVectors();
  cv::Mat alpha, idx;
  const double rho = svm->getDecisionFunction(0, alpha, idx);
  std::vector<float> detector(sv.cols + 1);
  for (int i = 0; i < sv.cols; ++i) detector[i] = -sv.at<float>(0, i);
  detector[sv.cols] = static_cast<float>(rho);
  // Orient it so that positives score above zero on the training crops.
  hog.setSVMDetector(detector);
  std::vector<float> d;
  hog.compute(pos[0], d);
  double m = detector.back();
  for (size_t i = 0; i < d.size(); ++i) m += detector[i] * d[i];
  if (m < 0) {
    for (auto& v : detector) v = -v;
    hog.setSVMDetector(detector);
  }
  return detector;
}

int SvmTrain(const std::string& posDir, const std::string& negDir, const std::string& modelPath) {
  cv::HOGDescriptor hog = SmallHog();
  std::vector<cv::Mat> pos, neg;
  for (const auto& n : ListImages(posDir)) {
    cv::Mat m = cv::imread(posDir + "/" + n, cv::IMREAD_COLOR);
    if (m.empty()) {
      std::fprintf(stderr, "peers: cannot read '%s/%s'\n", posDir.c_str(), n.c_str());
      return 1;
    }
    if (m.size() == cv::Size(32, 64)) pos.push_back(m);
  }
  std::vector<cv::Mat> negImages;
  cv::RNG rng(0);
  for (const auto& n : ListImages(negDir)) {
    cv::Mat m = cv::imread(negDir + "/" + n, cv::IMREAD_COLOR);
    if (m.empty()) {
      std::fprintf(stderr, "peers: cannot read '%s/%s'\n", negDir.c_str(), n.c_str());
      return 1;
    }
    if (m.cols < 32 || m.rows < 64) continue;
    negImages.push_back(m);
    for (int k = 0; k < 10; ++k)
      neg.push_back(m(cv::Rect(rng.uniform(0, m.cols - 31), rng.uniform(0, m.rows - 63), 32, 64)).clone());
  }
  if (pos.empty() || neg.empty()) {
    std::fprintf(stderr, "peers: no training crops in '%s' or '%s'\n", posDir.c_str(), negDir.c_str());
    return 1;
  }
  std::printf("%zu positive, %zu negative windows\n", pos.size(), neg.size());
  std::vector<float> detector = TrainSvm(hog, pos, neg);
  // One round of hard negatives: every window of every negative image that
  // the first model accepts, at the image's own scale, strongest first.
  std::vector<std::pair<double, cv::Mat>> hard;
  for (const auto& m : negImages) {
    std::vector<cv::Point> found;
    std::vector<double> weights;
    hog.detect(m, found, weights, 0.0, cv::Size(8, 8), cv::Size(0, 0));
    for (size_t i = 0; i < found.size(); ++i)
      hard.push_back({weights[i], m(cv::Rect(found[i], cv::Size(32, 64))).clone()});
  }
  std::sort(hard.begin(), hard.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  if (hard.size() > 3000) hard.resize(3000);
  for (auto& h : hard) neg.push_back(h.second);
  std::printf("adding %zu hard negatives\n", hard.size());
  detector = TrainSvm(hog, pos, neg);
  cv::FileStorage fs(modelPath, cv::FileStorage::WRITE);
  if (!fs.isOpened()) {
    std::fprintf(stderr, "peers: cannot write '%s'\n", modelPath.c_str());
    return 1;
  }
  fs << "detector" << detector;
  return 0;
}

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Peer detectors for the comparison with pedscan, writing result files in pedscan's format "
      "(\"x y w h score\"). Modes:\n"
      "  peers opencv <framesDir> <outDir>\n"
      "  peers svm-train <posDir> <negDir> <model.yml>\n"
      "  peers svm <model.yml> <framesDir> <outDir>",
      ' ', "0.1.0");
  std::vector<std::string> modes = {"opencv", "svm-train", "svm"};
  TCLAP::ValuesConstraint<std::string> modeConstraint(modes);
  TCLAP::UnlabeledValueArg<std::string> modeArg(
      "mode",
      "opencv: OpenCV's people detector on each frame; svm-train: train the HOG and linear SVM "
      "detector on the training crops; svm: that detector on each frame",
      true, "", &modeConstraint);
  cmd.add(modeArg);
  TCLAP::UnlabeledMultiArg<std::string> pathsArg("paths", "the directories and files of the mode",
                                                 true, "path");
  cmd.add(pathsArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string& mode = modeArg.getValue();
  const std::vector<std::string>& paths = pathsArg.getValue();
  auto expect = [&](size_t count, const char* form) {
    if (paths.size() != count) {
      WrongCommandLine(cmd, "paths",
                       "peers " + mode + " " + form + " takes " + std::to_string(count) +
                           " paths, not " + std::to_string(paths.size()));
    }
  };
  if (mode == "opencv") {
    expect(2, "<framesDir> <outDir>");
    cv::HOGDescriptor hog;
    hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    return ScanFrames(paths[0], paths[1],
                      [&](const cv::Mat& f) { return Scan(hog, f, 2.0, 1.05, OpenCvWindowToPerson); });
  }
  if (mode == "svm-train") {
    expect(3, "<posDir> <negDir> <model.yml>");
    return SvmTrain(paths[0], paths[1], paths[2]);
  }
  expect(3, "<model.yml> <framesDir> <outDir>");
  const std::string& modelPath = paths[0];
  cv::FileStorage fs(modelPath, cv::FileStorage::READ);
  if (!fs.isOpened()) {
    std::fprintf(stderr, "peers: cannot read '%s'\n", modelPath.c_str());
    return 1;
  }
  std::vector<float> detector;
  fs["detector"] >> detector;
  if (detector.empty()) {
    std::fprintf(stderr, "peers: no detector in '%s'\n", modelPath.c_str());
    return 1;
  }
  cv::HOGDescriptor hog = SmallHog();
  hog.setSVMDetector(detector);
  // Upsampled so that 44 px people reach the 48 px object box.
  return ScanFrames(paths[1], paths[2],
                    [&](const cv::Mat& f) { return Scan(hog, f, 1.1, 1.1, SvmWindowToPerson); });
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const TCLAP::ExitException& e) {
    return e.getExitStatus();
  } catch (const cv::Exception& e) {
    // A corrupt model file, for one: a message, not an abort.
    std::fprintf(stderr, "peers: %s\n", e.what());
    return 1;
  }
}
