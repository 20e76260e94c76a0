#include "source/samples.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "support/failure.h"

// When a capture cannot be opened, the video library ends by asking its
// gphoto2 backend whether a camera of that name is attached, and libgphoto2
// leaks its USB device lists. That is not ours to fix: in sanitized builds
// the leak checker ignores allocations made under libgphoto2. The full
// unwind is needed because the probe runs through a plugin that is unloaded
// before the report, which stops the fast unwinder short of libgphoto2.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libgphoto2\n"; }

namespace pedscan {
namespace {

namespace fs = std::filesystem;

// MJPG compression moves a flat grey level by a few units at most.
constexpr double kMjpgTolerance = 6.0;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pedscan_samples_XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteImage(const std::string& path, int value, int width = 8, int height = 6) {
  cv::Mat image(height, width, CV_8UC3, cv::Scalar(value, value, value));
  ASSERT_TRUE(cv::imwrite(path, image)) << path;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

template <typename F>
Failure CatchFailure(F&& f) {
  try {
    f();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no Failure thrown";
  return Failure(Failure::Form::kPlain, "", 0);
}

std::string FatalText(const char* function, int line, const char* message) {
  return Format(".\\samples.cpp(%s.%d): \n  %s\n", function, line, message);
}

// Fetches every frame the source announces, keeping the names.
std::vector<std::string> FrameNames(Samples& samples) {
  std::vector<std::string> names;
  std::string name;
  bool append = true;
  ROI offset;
  for (int i = 0; i < samples.NumberOfFrames(); ++i) {
    const cv::Mat* frame = samples.GetFrame(i, &name, &append, &offset);
    EXPECT_NE(frame, nullptr) << "frame " << i;
    EXPECT_FALSE(append);
    names.push_back(name);
  }
  return names;
}

SourceOptions DirectoryInput(const std::string& directory, const std::string& masks) {
  SourceOptions parameters;
  parameters.input = directory;
  parameters.isDirectory = true;
  parameters.filemask = masks;
  return parameters;
}

TEST(Samples, MasksAreCutAtTheirStars) {
  using Masks = std::vector<std::string>;
  EXPECT_EQ(Samples::SplitMasks("*.png,*.jpg"), (Masks{"*.png", "*.jpg"}));
  EXPECT_EQ(Samples::SplitMasks("*.png,*.jpg,*.bmp"), (Masks{"*.png", "*.jpg", "*.bmp"}));
  EXPECT_EQ(Samples::SplitMasks("img_*.png"), (Masks{"*.png"}));
  // The character before each later '*' is the separator, whatever it is.
  EXPECT_EQ(Samples::SplitMasks("a*.png;b_*.jpg"), (Masks{"*.png;b", "*.jpg"}));
  EXPECT_EQ(Samples::SplitMasks("**"), (Masks{"", "*"}));
  EXPECT_TRUE(Samples::SplitMasks("photo.png").empty());
}

TEST(Samples, MaskMatchingIgnoresCaseAndSupportsBothWildcards) {
  EXPECT_TRUE(Samples::MatchMask("*.jpg", "IMG_1.JPG"));
  EXPECT_TRUE(Samples::MatchMask("*.JPG", "a.jpg"));
  EXPECT_TRUE(Samples::MatchMask("*.png", ".png"));
  EXPECT_FALSE(Samples::MatchMask("*.png", "a.png.txt"));
  EXPECT_FALSE(Samples::MatchMask("*.png", "apng"));
  EXPECT_TRUE(Samples::MatchMask("a?c*", "abc"));
  EXPECT_TRUE(Samples::MatchMask("a?c*", "aXcdef"));
  EXPECT_FALSE(Samples::MatchMask("a?c*", "ac"));
  EXPECT_TRUE(Samples::MatchMask("*a*b*", "xxaxxbxx"));
  EXPECT_FALSE(Samples::MatchMask("*a*b", "xxbxxa"));
  EXPECT_TRUE(Samples::MatchMask("*", ""));
  EXPECT_FALSE(Samples::MatchMask("?", ""));
}

TEST(Samples, DirectoryListsEachMaskSortedThenConcatenated) {
  TempDir dir;
  for (const char* name : {"b.png", "c.jpg", "a.png", "D.JPG", "B2.PNG"}) WriteImage(dir / name, 10);
  WriteText(dir / "notes.txt", "not listed");
  fs::create_directory(dir / "sub.png");
  std::vector<std::string> files = Samples::ReadDirectory(dir.path(), "*.png,*.JPG");
  EXPECT_EQ(files, (std::vector<std::string>{dir / "B2.PNG", dir / "a.png", dir / "b.png",
                                             dir / "D.JPG", dir / "c.jpg"}));

  // A file matched by two masks appears once per mask.
  files = Samples::ReadDirectory(dir.path(), "*.jpg,*c.jpg");
  EXPECT_EQ(files, (std::vector<std::string>{dir / "D.JPG", dir / "c.jpg", dir / "c.jpg"}));

  // The text before the first '*' does not restrict the listing.
  files = Samples::ReadDirectory(dir.path(), "img_*.png");
  EXPECT_EQ(files, (std::vector<std::string>{dir / "B2.PNG", dir / "a.png", dir / "b.png"}));
}

TEST(Samples, DirectoryWithoutMatchingImagesIsFatal) {
  TempDir dir;
  const std::string expected = FatalText("Samples::ReadDirectory", 58, "no images found!");
  Failure failure = CatchFailure([&] { Samples::ReadDirectory(dir.path(), "*.png,*.jpg"); });
  EXPECT_EQ(failure.text(), expected);
  EXPECT_EQ(failure.status(), -1);

  WriteImage(dir / "a.bmp", 1);
  fs::create_directory(dir / "b.png");
  EXPECT_EQ(CatchFailure([&] { Samples::ReadDirectory(dir.path(), "*.png"); }).text(), expected);
  EXPECT_EQ(CatchFailure([&] { Samples::ReadDirectory(dir / "missing", "*.bmp"); }).text(),
            expected);
  EXPECT_EQ(CatchFailure([&] { Samples::ReadDirectory(dir.path(), "a.bmp"); }).text(), expected);

  // Through ReadInput the failure is the same.
  Samples samples;
  bool roiMode = true;
  SourceOptions parameters = DirectoryInput(dir.path(), "*.jpg");
  EXPECT_EQ(CatchFailure([&] { samples.ReadInput(parameters, &roiMode); }).text(), expected);
}

TEST(Samples, ImageListHonoursFirstAndStep) {
  TempDir dir;
  for (int i = 0; i < 10; ++i) WriteImage(dir / Format("im%02d.png", i), 20 * i);

  SourceOptions parameters = DirectoryInput(dir.path(), "*.png");
  parameters.videoFirst = 2;
  parameters.videoLast = -1;
  parameters.videoStep = 3;
  Samples samples;
  bool roiMode = true;
  samples.ReadInput(parameters, &roiMode);
  EXPECT_FALSE(roiMode);
  EXPECT_TRUE(samples.isImageList());
  ASSERT_EQ(samples.NumberOfFrames(), 3);

  testing::internal::CaptureStdout();
  std::vector<std::string> names = FrameNames(samples);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(names, (std::vector<std::string>{"im02", "im05", "im08"}));
  EXPECT_EQ(printed, (dir / "im02.png") + "\n" + (dir / "im05.png") + "\n" + (dir / "im08.png") +
                         "\n");

  std::string name = "unchanged";
  bool append = true;
  ROI offset;
  EXPECT_EQ(samples.GetFrame(3, &name, &append, &offset), nullptr);
  EXPECT_EQ(name, "");

  // A negative first counts as 0, a step below 1 as 1; last is not used.
  parameters.videoFirst = -4;
  parameters.videoLast = 2;
  parameters.videoStep = 0;
  Samples every;
  every.ReadInput(parameters, &roiMode);
  EXPECT_EQ(every.NumberOfFrames(), 10);

  parameters.videoFirst = 10;
  parameters.videoStep = 1;
  Samples none;
  none.ReadInput(parameters, &roiMode);
  EXPECT_EQ(none.NumberOfFrames(), 0);
}

TEST(Samples, SingleImageIsAOneFrameList) {
  TempDir dir;
  WriteImage(dir / "street.v1.png", 90, 12, 10);
  SourceOptions parameters;
  parameters.input = dir / "street.v1.png";
  parameters.isImage = true;
  Samples samples;
  bool roiMode = true;
  samples.ReadInput(parameters, &roiMode);
  EXPECT_FALSE(roiMode);
  ASSERT_EQ(samples.NumberOfFrames(), 1);

  std::string name;
  bool append = true;
  ROI offset;
  testing::internal::CaptureStdout();
  const cv::Mat* frame = samples.GetFrame(0, &name, &append, &offset);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->type(), CV_8UC3);
  EXPECT_EQ(frame->size(), cv::Size(12, 10));
  EXPECT_EQ(name, "street.v1");
  EXPECT_FALSE(append);
  EXPECT_EQ(offset.x, 0);
  EXPECT_EQ(offset.width, -1);
  EXPECT_EQ(samples.GetFrame(1, &name, &append, &offset), nullptr);
}

TEST(Samples, RoisAreCopiedFromTheImageWithTheirOffsets) {
  TempDir dir;
  cv::Mat image(40, 50, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
  ASSERT_TRUE(cv::imwrite(dir / "street.png", image));
  SourceOptions parameters;
  parameters.input = dir / "street.png";
  parameters.isImage = true;
  ROI first;
  first.x = 3;
  first.y = 4;
  first.width = 10;
  first.height = 20;
  ROI second;
  second.x = 30;
  second.y = 10;
  second.width = 20;  // touches the right border
  second.height = 30;  // touches the bottom border
  parameters.rois.push_back(first);
  parameters.rois.push_back(second);

  Samples samples;
  bool roiMode = false;
  samples.ReadInput(parameters, &roiMode);
  EXPECT_TRUE(roiMode);
  EXPECT_TRUE(samples.isROI());
  ASSERT_EQ(samples.NumberOfFrames(), 2);

  std::string name;
  bool append = true;
  ROI offset;
  const ROI* rois[] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    const cv::Mat* frame = samples.GetFrame(i, &name, &append, &offset);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(name, "street");
    EXPECT_EQ(append, i != 0);
    EXPECT_EQ(offset.x, rois[i]->x);
    EXPECT_EQ(offset.y, rois[i]->y);
    EXPECT_EQ(offset.height, -1);
    EXPECT_EQ(offset.width, -1);
    EXPECT_EQ(offset.x1, -1);
    EXPECT_EQ(offset.y1, -1);
    cv::Mat expected = image(cv::Rect(rois[i]->x, rois[i]->y, rois[i]->width, rois[i]->height));
    ASSERT_EQ(frame->size(), expected.size());
    EXPECT_EQ(cv::norm(*frame, expected, cv::NORM_INF), 0.0);
    EXPECT_FALSE(frame->isSubmatrix());  // a copy, not a view of the image
  }
  EXPECT_EQ(samples.GetFrame(2, &name, &append, &offset), nullptr);
  EXPECT_EQ(name, "");
}

TEST(Samples, RoiModeRejectsAnUnreadableImageAndAnOutsideRegion) {
  TempDir dir;
  WriteText(dir / "broken.png", "not an image");
  SourceOptions parameters;
  parameters.input = dir / "broken.png";
  parameters.isImage = true;
  parameters.rois.resize(1);
  parameters.rois[0].width = 4;
  parameters.rois[0].height = 4;
  Samples samples;
  bool roiMode = false;
  Failure failure = CatchFailure([&] { samples.ReadInput(parameters, &roiMode); });
  EXPECT_EQ(failure.text(), "can't load image '" + (dir / "broken.png") + "'\n");
  EXPECT_EQ(failure.status(), 2);

  WriteImage(dir / "small.png", 5, 8, 6);
  parameters.input = dir / "small.png";
  parameters.rois[0].width = 9;
  Samples outside;
  failure = CatchFailure([&] { outside.ReadInput(parameters, &roiMode); });
  EXPECT_EQ(failure.status(), -1);
  EXPECT_NE(failure.text().find("outside of image limits"), std::string::npos);
}

TEST(Samples, UnloadableImageOfAListIsAPlainMessage) {
  TempDir dir;
  WriteImage(dir / "a.png", 1);
  WriteText(dir / "b.png", "not an image");
  Samples samples;
  bool roiMode = false;
  samples.ReadInput(DirectoryInput(dir.path(), "*.png"), &roiMode);
  ASSERT_EQ(samples.NumberOfFrames(), 2);
  std::string name;
  bool append;
  ROI offset;
  testing::internal::CaptureStdout();
  EXPECT_NE(samples.GetFrame(0, &name, &append, &offset), nullptr);
  Failure failure = CatchFailure([&] { samples.GetFrame(1, &name, &append, &offset); });
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failure.form(), Failure::Form::kPlain);
  EXPECT_EQ(failure.text(), "can't load image '" + (dir / "b.png") + "'\n");
  EXPECT_EQ(failure.status(), 2);
  // The path is announced before the attempt to load it.
  EXPECT_EQ(printed, (dir / "a.png") + "\n" + (dir / "b.png") + "\n");
}

// Six 32 x 24 frames, frame i a flat grey of 40 i.
void WriteVideo(const std::string& path) {
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0,
                         cv::Size(32, 24));
  ASSERT_TRUE(writer.isOpened());
  for (int i = 0; i < 6; ++i) writer.write(cv::Mat(24, 32, CV_8UC3, cv::Scalar::all(40 * i)));
}

SourceOptions VideoInput(const std::string& path, int first, int last, int step) {
  SourceOptions parameters;
  parameters.input = path;
  parameters.isVideo = true;
  parameters.videoFirst = first;
  parameters.videoLast = last;
  parameters.videoStep = step;
  return parameters;
}

TEST(Samples, VideoDeliversFirstToLastInSteps) {
  TempDir dir;
  const std::string path = dir / "clip.avi";
  WriteVideo(path);

  Samples samples;
  bool roiMode = true;
  samples.ReadInput(VideoInput(path, 1, 3, 2), &roiMode);
  EXPECT_FALSE(roiMode);
  EXPECT_TRUE(samples.isVideo());
  ASSERT_EQ(samples.NumberOfFrames(), 2);
  std::string name;
  bool append = true;
  ROI offset;
  for (int i = 0; i < 2; ++i) {
    const cv::Mat* frame = samples.GetFrame(i, &name, &append, &offset);
    ASSERT_NE(frame, nullptr);
    int n = 1 + 2 * i;
    EXPECT_EQ(name, Format("clip%.8d", n));
    EXPECT_FALSE(append);
    EXPECT_EQ(frame->size(), cv::Size(32, 24));
    EXPECT_NEAR(cv::mean(*frame)[1], 40.0 * n, kMjpgTolerance) << "frame " << n;
  }
  EXPECT_EQ(samples.GetFrame(2, &name, &append, &offset), nullptr);
  samples.ReleaseCapture();
  samples.ReleaseCapture();

  // last 0 counts as unset: every frame.
  Samples every;
  every.ReadInput(VideoInput(path, 0, 0, 1), &roiMode);
  EXPECT_EQ(FrameNames(every),
            (std::vector<std::string>{"clip00000000", "clip00000001", "clip00000002",
                                      "clip00000003", "clip00000004", "clip00000005"}));

  // A negative first starts at 0, a last past the end stops at the last frame.
  Samples clipped;
  clipped.ReadInput(VideoInput(path, -3, 99, 0), &roiMode);
  EXPECT_EQ(clipped.NumberOfFrames(), 6);

  Samples past;
  past.ReadInput(VideoInput(path, 6, 0, 1), &roiMode);
  EXPECT_EQ(past.NumberOfFrames(), 0);
  EXPECT_EQ(past.GetFrame(0, &name, &append, &offset), nullptr);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Overwrites the frame count an AVI announces: dwTotalFrames of the main
// header and dwLength of the stream header, where readers look for it.
std::string AnnounceFrames(std::string avi, uint32_t frames) {
  auto put = [&](size_t at) {
    for (int i = 0; i < 4; ++i) avi[at + i] = static_cast<char>((frames >> (8 * i)) & 0xFF);
  };
  size_t mainHeader = avi.find("avih");
  size_t streamHeader = avi.find("strh");
  EXPECT_NE(mainHeader, std::string::npos);
  EXPECT_NE(streamHeader, std::string::npos);
  put(mainHeader + 8 + 16);
  put(streamHeader + 8 + 32);
  return avi;
}

// The offsets of the frame chunks of an AVI written by WriteVideo.
std::vector<size_t> FrameChunks(const std::string& avi) {
  std::vector<size_t> chunks;
  const size_t index = avi.find("idx1");  // lists the chunks once more
  for (size_t at = avi.find("00dc", avi.find("movi")); at < index; at = avi.find("00dc", at + 4)) {
    chunks.push_back(at);
  }
  return chunks;
}

// Reads the frames `indices` (in that order) and checks their names and
// grey levels.
void ExpectVideoFrames(Samples& samples, const std::vector<int>& indices,
                       const std::vector<int>& numbers) {
  std::string name;
  bool append;
  ROI offset;
  for (size_t k = 0; k < indices.size(); ++k) {
    const cv::Mat* frame = samples.GetFrame(indices[k], &name, &append, &offset);
    ASSERT_NE(frame, nullptr) << "index " << indices[k];
    EXPECT_EQ(name, Format("clip%.8d", numbers[k]));
    EXPECT_NEAR(cv::mean(*frame)[1], 40.0 * numbers[k], kMjpgTolerance) << "frame " << numbers[k];
  }
}

TEST(Samples, VideoIsReadToItsLastDecodableFrameWhateverCountItAnnounces) {
  TempDir dir;
  const std::string path = dir / "clip.avi";
  WriteVideo(path);
  const std::string written = ReadBytes(path);
  bool roiMode = false;
  for (uint32_t announced : {0u, 0xFFFFFFFFu, 2u, 5u, 7u, 100u}) {
    WriteBytes(path, AnnounceFrames(written, announced));
    Samples samples;
    samples.ReadInput(VideoInput(path, 0, -1, 1), &roiMode);
    ASSERT_EQ(samples.NumberOfFrames(), 6) << "announced " << announced;
    ExpectVideoFrames(samples, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5});
    std::string name;
    bool append;
    ROI offset;
    EXPECT_EQ(samples.GetFrame(6, &name, &append, &offset), nullptr);

    // First, last and step apply to the frames the file holds.
    Samples stepped;
    stepped.ReadInput(VideoInput(path, 1, 4, 2), &roiMode);
    ASSERT_EQ(stepped.NumberOfFrames(), 2);
    ExpectVideoFrames(stepped, {0, 1}, {1, 3});
    Samples past;
    past.ReadInput(VideoInput(path, 6, -1, 1), &roiMode);
    EXPECT_EQ(past.NumberOfFrames(), 0);
  }

  // Going back to an earlier frame reads the video again from its start.
  Samples samples;
  samples.ReadInput(VideoInput(path, 0, -1, 1), &roiMode);
  ExpectVideoFrames(samples, {4, 1, 5}, {4, 1, 5});
}

TEST(Samples, TruncatedVideoDeliversTheFramesItHoldsAndOneWithoutAnyIsFatal) {
  TempDir dir;
  const std::string path = dir / "clip.avi";
  WriteVideo(path);
  const std::string written = ReadBytes(path);
  std::vector<size_t> chunks = FrameChunks(written);
  ASSERT_EQ(chunks.size(), 6u);

  // Cut before the fourth frame, with the index at the end of the file gone.
  WriteBytes(path, written.substr(0, chunks[3]));
  Samples samples;
  bool roiMode = false;
  samples.ReadInput(VideoInput(path, 0, -1, 1), &roiMode);
  ASSERT_EQ(samples.NumberOfFrames(), 3);
  ExpectVideoFrames(samples, {0, 1, 2}, {0, 1, 2});

  // Cut before the first frame: the file still opens but holds no frame.
  WriteBytes(path, written.substr(0, chunks[0]));
  Samples empty;
  Failure failure = CatchFailure([&] { empty.ReadInput(VideoInput(path, 0, -1, 1), &roiMode); });
  EXPECT_EQ(failure.text(), FatalText("Samples::ReadInput", 102, "unable to read input video"));
  EXPECT_EQ(failure.status(), -1);
}

TEST(Samples, MissingVideoIsFatal) {
  TempDir dir;
  Samples samples;
  bool roiMode = false;
  Failure failure = CatchFailure(
      [&] { samples.ReadInput(VideoInput(dir / "absent.avi", 0, -1, 1), &roiMode); });
  EXPECT_EQ(failure.text(), FatalText("Samples::ReadInput", 102, "unable to read input video"));
  EXPECT_EQ(failure.status(), -1);
}

TEST(Samples, MissingCameraIsFatal) {
  // The test machines have no camera; opening one must fail, not wait.
  if (fs::exists("/dev/video0")) GTEST_SKIP() << "a camera is present";
  SourceOptions parameters;
  parameters.camera = true;
  Samples samples;
  bool roiMode = false;
  Failure failure = CatchFailure([&] { samples.ReadInput(parameters, &roiMode); });
  EXPECT_EQ(failure.text(),
            FatalText("Samples::ReadInput", 130, "unable to read any video feed"));
  EXPECT_EQ(failure.status(), -1);
}

TEST(Samples, NoSourceKindIsFatal) {
  SourceOptions parameters;
  parameters.input = "whatever.png";
  Samples samples;
  bool roiMode = false;
  Failure failure = CatchFailure([&] { samples.ReadInput(parameters, &roiMode); });
  EXPECT_EQ(failure.text(), FatalText("Samples::ReadInput", 142, "no input has been set"));
  EXPECT_EQ(failure.status(), -1);
}

}  // namespace
}  // namespace pedscan
