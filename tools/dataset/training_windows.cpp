#include "training_windows.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

#include "model/parameters.h"
#include "support/atomic_file.h"
#include "support/directory.h"
#include "support/failure.h"
#include "support/geometry.h"
#include "support/parallel.h"
#include "support/text.h"

namespace pedscan {
namespace dataset {
namespace {

std::string ImagePath(const annotation::Image& image, const std::string& imageDir) {
  if (imageDir.empty()) {
    if (image.path.empty())
      FailPlain(Format("%s: names no image for '%s'; give the image folder\n", image.source.c_str(),
                       image.name.c_str()));
    return image.path;
  }
  if (!image.path.empty()) {
    const std::string beside = JoinPath(imageDir, FileName(image.path));
    if (IsRegularFile(beside)) return beside;
  }
  for (const char* extension : {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".PNG", ".JPG", ".JPEG"}) {
    const std::string candidate = JoinPath(imageDir, image.name + extension);
    if (IsRegularFile(candidate)) return candidate;
  }
  FailPlain(Format("%s: no image '%s' (.png, .jpg, .jpeg, .bmp, .tif) for %s\n", imageDir.c_str(),
                   image.name.c_str(), image.source.c_str()));
}

cv::Mat ReadImage(const annotation::Image& image, const std::string& path) {
  cv::Mat pixels;
  try {
    pixels = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    pixels.release();
  }
  if (pixels.empty()) FailPlain(Format("%s: cannot read image\n", path.c_str()));
  if ((image.width > 0 && image.width != pixels.cols) || (image.height > 0 && image.height != pixels.rows))
    FailPlain(Format("%s: the image is %d x %d, but %s says %d x %d\n", path.c_str(), pixels.cols,
                     pixels.rows, image.source.c_str(), image.width, image.height));
  return pixels;
}

// The windows go out in batches with one sync each: a sync per window would
// cost more than cutting and encoding it.
constexpr size_t kBatchFiles = 2000;

void Commit(AtomicFileBatch* batch) {
  if (!batch->Commit()) FailPlain(Format("cannot write the windows: %s\n", batch->error().c_str()));
}

void MakeFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) FailPlain(Format("%s: cannot create folder: %s\n", path.c_str(), error.message().c_str()));
}

bool InsideImage(const annotation::Object& object, const cv::Mat& image) {
  return object.x >= 0 && object.y >= 0 && object.x + object.width <= image.cols &&
         object.y + object.height <= image.rows;
}

// The region to keep tiles away from: the box grown by `margin` of its size
// on every side.
cv::Rect2d Grown(const annotation::Object& object, double margin) {
  return cv::Rect2d(object.x - margin * object.width, object.y - margin * object.height,
                    object.width * (1 + 2 * margin), object.height * (1 + 2 * margin));
}

}  // namespace

WindowGeometry ReadWindowGeometry(const std::string& configFile) {
  Parameters parameters;
  parameters.ParseFile(configFile);
  WindowGeometry geometry;
  geometry.windowWidth = parameters.window.width;
  geometry.windowHeight = parameters.window.height;
  if (geometry.windowWidth < 1 || geometry.windowHeight < 1)
    FailPlain(Format("%s: no window line with a positive width and height\n", configFile.c_str()));
  const ObjectBox& o = parameters.object;
  if (o.x0 < 0 || o.y0 < 0 || o.width < 0 || o.height < 0) {
    geometry.objectBox = cv::Rect(0, 0, geometry.windowWidth, geometry.windowHeight);
  } else {
    geometry.objectBox = cv::Rect(o.x0, o.y0, o.width, o.height);
  }
  if (geometry.objectBox.width < 1 || geometry.objectBox.height < 1 ||
      (geometry.objectBox & cv::Rect(0, 0, geometry.windowWidth, geometry.windowHeight)) != geometry.objectBox)
    FailPlain(Format("%s: the object box <%d, %d, %d, %d> is not inside the %d x %d window\n",
                     configFile.c_str(), geometry.objectBox.x, geometry.objectBox.y,
                     geometry.objectBox.width, geometry.objectBox.height, geometry.windowWidth,
                     geometry.windowHeight));
  return geometry;
}

namespace {

// Where a window cut around a (scaled, shifted) object box lies in the
// image, rounded to whole pixels, and the image pixels per window pixel.
cv::Rect WindowFootprint(const annotation::Object& object, const WindowGeometry& geometry, double scale,
                         double shiftX, double shiftY, double* pixelsPerWindowPixel) {
  const cv::Rect& box = geometry.objectBox;
  const double width = object.width * scale, height = object.height * scale;
  const double centreX = object.x + object.width * (0.5 + shiftX);
  const double centreY = object.y + object.height * (0.5 + shiftY);
  const double s = std::max(width / box.width, height / box.height);
  *pixelsPerWindowPixel = s;
  return cv::Rect(cvRound(centreX - (box.x + box.width / 2.0) * s), cvRound(centreY - (box.y + box.height / 2.0) * s),
                  std::max(1, cvRound(geometry.windowWidth * s)), std::max(1, cvRound(geometry.windowHeight * s)));
}

}  // namespace

cv::Mat CutWindow(const cv::Mat& image, const annotation::Object& object, const WindowGeometry& geometry,
                  double scale, double shiftX, double shiftY) {
  double s = 1;
  const cv::Rect source = WindowFootprint(object, geometry, scale, shiftX, shiftY, &s);
  const cv::Rect inside = source & cv::Rect(0, 0, image.cols, image.rows);
  cv::Mat region;
  if (inside.area() == 0) {
    region = cv::Mat(source.size(), image.type(), cv::Scalar::all(0));
  } else {
    cv::copyMakeBorder(image(inside), region, inside.y - source.y, source.br().y - inside.br().y,
                       inside.x - source.x, source.br().x - inside.br().x, cv::BORDER_REPLICATE);
  }
  cv::Mat window;
  cv::resize(region, window, cv::Size(geometry.windowWidth, geometry.windowHeight), 0, 0,
             s > 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  return window;
}

namespace {

// What one image gives: its files, encoded, in the order they are named,
// and its share of the report.
struct ImageCut {
  std::vector<std::pair<std::string, std::vector<uchar>>> files;
  CutReport report;
};

// A draw uniform in [-1, 1]: the jitter and the near negatives use the same
// arithmetic, so a seed means the same draws in both.
double Symmetric(std::mt19937& random) { return random() / 4294967295.0 * 2.0 - 1.0; }

std::vector<uchar> Png(const std::string& path, const cv::Mat& image) {
  std::vector<uchar> bytes;
  if (!cv::imencode(".png", image, bytes)) FailPlain(Format("%s: cannot encode image\n", path.c_str()));
  return bytes;
}

ImageCut CutImage(const annotation::Image& image, size_t imageIndex, const WindowGeometry& geometry,
                  const CutOptions& options, const std::string& imageDir, const std::string& posDir,
                  const std::string& negDir) {
  const double minHeight = options.minHeight > 0 ? options.minHeight : geometry.objectBox.height / 2.0;
  const int tile = options.tile == 0 ? 2 * std::max(geometry.windowWidth, geometry.windowHeight) : options.tile;
  const cv::Mat pixels = ReadImage(image, ImagePath(image, imageDir));
  ImageCut cut;
  CutReport& report = cut.report;
  auto add = [&cut](const std::string& path, const cv::Mat& window) {
    cut.files.emplace_back(path, Png(path, window));
  };
  for (size_t i = 0; i < image.objects.size(); ++i) {
    const annotation::Object& object = image.objects[i];
    if (object.ignore) {
      ++report.skippedIgnore;
      continue;
    }
    ++report.objects;
    if (object.height < minHeight) {
      ++report.skippedSmall;
      continue;
    }
    if (!InsideImage(object, pixels) && !options.keepBorderCut) {
      ++report.skippedBorder;
      continue;
    }
    // Each object's jitter has its own stream, so that the windows do not
    // depend on the order in which images are cut.
    std::seed_seq seeds{options.seed, static_cast<uint32_t>(imageIndex), static_cast<uint32_t>(i)};
    std::mt19937 random(seeds);
    const std::string stem = JoinPath(posDir, image.name + "_" + std::to_string(i));
    for (int copy = 0; copy <= options.jitter; ++copy) {
      double scale = 1, shiftX = 0, shiftY = 0;
      std::string name = stem;
      if (copy > 0) {
        scale = std::exp(Symmetric(random) * options.scaleJitter);
        shiftX = Symmetric(random) * options.shiftJitter;
        shiftY = Symmetric(random) * options.shiftJitter;
        name += "_j" + std::to_string(copy);
      }
      const cv::Mat window = CutWindow(pixels, object, geometry, scale, shiftX, shiftY);
      add(name + ".png", window);
      report.positiveFiles.push_back(name + ".png");
      ++report.positives;
      if (options.mirror) {
        cv::Mat mirrored;
        cv::flip(window, mirrored, 1);
        add(name + "_m.png", mirrored);
        report.positiveFiles.push_back(name + "_m.png");
        ++report.positives;
      }
    }
  }
  if (negDir.empty()) return cut;
  for (size_t i = 0; i < image.objects.size() && options.nearNegatives > 0; ++i) {
    const annotation::Object& object = image.objects[i];
    if (object.ignore || object.height < minHeight) continue;
    std::seed_seq seeds{options.seed, static_cast<uint32_t>(imageIndex), static_cast<uint32_t>(i), 1u};
    std::mt19937 random(seeds);
    int written = 0;
    for (int draw = 0; draw < kNearDraws * options.nearNegatives && written < options.nearNegatives; ++draw) {
      const double scale = std::exp(Symmetric(random) * options.nearScale);
      const double shiftX = Symmetric(random) * kNearShiftX, shiftY = Symmetric(random) * kNearShiftY;
      double s = 1;
      const cv::Rect window = WindowFootprint(object, geometry, scale, shiftX, shiftY, &s);
      if ((window & cv::Rect(0, 0, pixels.cols, pixels.rows)) != window) continue;
      const cv::Rect& box = geometry.objectBox;
      const cv::Rect2d drawn(window.x + box.x * s, window.y + box.y * s, box.width * s, box.height * s);
      if (drawn.height < minHeight) continue;
      bool clear = true;
      for (const annotation::Object& other : image.objects)
        clear = clear && IntersectionOverUnion<double>(drawn.x, drawn.y, drawn.width, drawn.height, other.x,
                                                       other.y, other.width, other.height) < kNearOverlap;
      if (!clear) continue;
      add(JoinPath(negDir, Format("%s_%zu_n%d.png", image.name.c_str(), i, written)),
          CutWindow(pixels, object, geometry, scale, shiftX, shiftY));
      ++written;
      ++report.nearNegatives;
    }
  }
  if (image.objects.empty()) {  // nothing to find and nothing to ignore
    add(JoinPath(negDir, image.name + ".png"), pixels);
    ++report.negativeImages;
    return cut;
  }
  if (tile <= 0 || tile > pixels.cols || tile > pixels.rows) return cut;
  for (int y = 0; y + tile <= pixels.rows; y += tile / 2)
    for (int x = 0; x + tile <= pixels.cols; x += tile / 2) {
      const cv::Rect2d candidate(x, y, tile, tile);
      bool clear = true;
      for (const annotation::Object& object : image.objects)
        clear = clear && (Grown(object, options.margin) & candidate).area() <= 0;
      if (!clear) continue;
      add(JoinPath(negDir, Format("%s_t%d_%d.png", image.name.c_str(), x, y)),
          pixels(cv::Rect(x, y, tile, tile)));
      ++report.negativeTiles;
    }
  return cut;
}

}  // namespace

CutReport CutTrainingWindows(const std::vector<annotation::Image>& images, const WindowGeometry& geometry,
                             const CutOptions& options, const std::string& imageDir,
                             const std::string& posDir, const std::string& negDir) {
  MakeFolder(posDir);
  if (!negDir.empty()) MakeFolder(negDir);
  const int threads = ResolveThreads(options.threads);
  CutReport report;
  AtomicFileBatch batch;
  // Images are decoded, cut and encoded side by side a round at a time
  // (the round bounds the memory of encoded windows) and written in order.
  const size_t round = static_cast<size_t>(4 * threads);
  for (size_t first = 0; first < images.size(); first += round) {
    const size_t count = std::min(round, images.size() - first);
    std::vector<ImageCut> cuts(count);
    ParallelFor(static_cast<int>(count), threads, [&](int item, int) {
      cuts[item] = CutImage(images[first + item], first + item, geometry, options, imageDir, posDir, negDir);
    });
    for (ImageCut& cut : cuts) {
      for (const auto& file : cut.files) {
        if (!batch.Add(file.first, file.second.data(), file.second.size()))
          FailPlain(Format("%s: cannot write: %s\n", file.first.c_str(), batch.error().c_str()));
        if (batch.pending() >= kBatchFiles) Commit(&batch);
      }
      report.objects += cut.report.objects;
      report.positives += cut.report.positives;
      report.negativeImages += cut.report.negativeImages;
      report.negativeTiles += cut.report.negativeTiles;
      report.nearNegatives += cut.report.nearNegatives;
      report.skippedSmall += cut.report.skippedSmall;
      report.skippedBorder += cut.report.skippedBorder;
      report.skippedIgnore += cut.report.skippedIgnore;
      report.positiveFiles.insert(report.positiveFiles.end(), cut.report.positiveFiles.begin(),
                                  cut.report.positiveFiles.end());
    }
  }
  Commit(&batch);
  return report;
}

void CheckFrameRange(const std::vector<annotation::Image>& images, long long first, long long last) {
  for (const annotation::Image& image : images) {
    const std::string& name = image.name;
    size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
    if (start == name.size())
      FailPlain(Format("%s: image '%s': no frame number in the name (--frames %lld-%lld)\n",
                       image.source.c_str(), name.c_str(), first, last));
    // Leading zeros are padding. A number too long for a long long is past
    // any range, and is shown as its digits rather than parsed.
    start = std::min(name.find_first_not_of('0', start), name.size() - 1);
    const std::string digits = name.substr(start);
    if (digits.size() <= 18) {
      const long long frame = std::stoll(digits);
      if (frame >= first && frame <= last) continue;
    }
    FailPlain(Format("%s: image '%s': frame %s is outside the training frames %lld-%lld\n",
                     image.source.c_str(), name.c_str(), digits.c_str(), first, last));
  }
}

cv::Mat ContactSheet(const std::vector<std::string>& files, size_t limit) {
  std::vector<cv::Mat> tiles;
  const size_t count = std::min(files.size(), limit);
  cv::Size size;
  for (size_t k = 0; k < count; ++k) {
    const std::string& file = files[k * files.size() / count];
    cv::Mat image = cv::imread(file, cv::IMREAD_COLOR), big;
    if (image.empty()) FailPlain(Format("%s: cannot read image\n", file.c_str()));
    cv::resize(image, big, cv::Size(), 2, 2, cv::INTER_NEAREST);
    size.width = std::max(size.width, big.cols);
    size.height = std::max(size.height, big.rows);
    tiles.push_back(big);
  }
  if (tiles.empty()) return cv::Mat();
  const int columns = std::min<int>(20, static_cast<int>(tiles.size()));
  const int rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
  const int gap = 2;
  cv::Mat sheet(rows * (size.height + gap), columns * (size.width + gap), CV_8UC3, cv::Scalar::all(255));
  for (size_t i = 0; i < tiles.size(); ++i) {
    const int column = static_cast<int>(i) % columns, row = static_cast<int>(i) / columns;
    tiles[i].copyTo(sheet(cv::Rect(column * (size.width + gap), row * (size.height + gap), tiles[i].cols,
                                   tiles[i].rows)));
  }
  return sheet;
}

}  // namespace dataset
}  // namespace pedscan
