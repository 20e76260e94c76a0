#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>

#include "../support/run_command.h"
#include "support/failure.h"
#include "training_windows.h"

namespace pedscan {
namespace dataset {
namespace {

using testutil::TempDir;

const WindowGeometry kPerson{32, 64, cv::Rect(6, 8, 20, 48)};

annotation::Object Box(double x, double y, double w, double h, bool ignore = false) {
  annotation::Object object;
  object.label = "person";
  object.x = x;
  object.y = y;
  object.width = w;
  object.height = h;
  object.ignore = ignore;
  return object;
}

// A white object on grey lands in the object box, scaled, not stretched.
TEST(CutWindow, TheObjectFillsTheObjectBoxWithItsOwnAspect) {
  cv::Mat image(300, 300, CV_8UC3, cv::Scalar::all(100));
  cv::rectangle(image, cv::Rect(50, 40, 40, 96), cv::Scalar::all(255), cv::FILLED);
  const cv::Mat tall = CutWindow(image, Box(50, 40, 40, 96), kPerson);
  ASSERT_EQ(tall.size(), cv::Size(32, 64));
  // Scale 2: the object is exactly the object box.
  EXPECT_EQ(cv::countNonZero(tall.reshape(1) == 255), 20 * 48 * 3);
  EXPECT_EQ(tall.at<cv::Vec3b>(8, 6)[0], 255);
  EXPECT_EQ(tall.at<cv::Vec3b>(55, 25)[0], 255);
  EXPECT_EQ(tall.at<cv::Vec3b>(7, 6)[0], 100);
  EXPECT_EQ(tall.at<cv::Vec3b>(8, 26)[0], 100);

  // Twice as wide as the box's aspect: the width fills it (scale 4) and the
  // height is half the object box, centred, with the image above and below.
  cv::rectangle(image, cv::Rect(120, 100, 80, 96), cv::Scalar::all(255), cv::FILLED);
  const cv::Mat wide = CutWindow(image, Box(120, 100, 80, 96), kPerson);
  cv::Mat white;
  cv::inRange(wide, cv::Scalar::all(250), cv::Scalar::all(255), white);
  const cv::Rect found = cv::boundingRect(white);
  EXPECT_EQ(found, cv::Rect(6, 20, 20, 24));

  // An object at the image's corner is padded by repeating the border.
  const cv::Mat corner = CutWindow(image, Box(0, 0, 20, 48), {32, 64, cv::Rect(6, 8, 20, 48)});
  EXPECT_EQ(corner.at<cv::Vec3b>(0, 0), image.at<cv::Vec3b>(0, 0));
}

TEST(CutTrainingWindows, CountsSkipsAndKeepsNegativesClear) {
  TempDir dir;
  cv::Mat scene(256, 320, CV_8UC3);
  cv::RNG noise(1);
  noise.fill(scene, cv::RNG::UNIFORM, 0, 256);  // texture, so that every shift shows
  cv::imwrite(dir.File("a.png"), scene);
  cv::imwrite(dir.File("empty.png"), scene);
  annotation::Image a;
  a.name = "a";
  a.source = "a.json";
  a.path = dir.File("a.png");
  a.objects = {Box(10, 10, 30, 72),            // cut
               Box(100, 10, 5, 10),            // too small
               Box(300, 200, 30, 72),          // reaches past the right and bottom border
               Box(150, 100, 40, 80, true)};   // ignore region
  annotation::Image empty;
  empty.name = "empty";
  empty.source = "empty.json";
  empty.path = dir.File("empty.png");

  CutOptions options;
  options.mirror = true;
  options.jitter = 2;
  options.seed = 7;
  options.tile = 64;
  const CutReport report = CutTrainingWindows({a, empty}, kPerson, options, "", dir.File("pos"), dir.File("neg"));
  EXPECT_EQ(report.objects, 3);
  EXPECT_EQ(report.positives, 6);  // one object, three copies, each mirrored
  EXPECT_EQ(report.skippedSmall, 1);
  EXPECT_EQ(report.skippedBorder, 1);
  EXPECT_EQ(report.skippedIgnore, 1);
  EXPECT_EQ(report.negativeImages, 1);
  EXPECT_FALSE(cv::imread(dir.File("pos/a_0_j2_m.png")).empty());
  EXPECT_FALSE(cv::imread(dir.File("neg/empty.png")).empty());
  // Every tile keeps half an object's size away from every box.
  EXPECT_GT(report.negativeTiles, 0);
  for (int y = 0; y + 64 <= 256; y += 32)
    for (int x = 0; x + 64 <= 320; x += 32) {
      const bool written = std::filesystem::exists(dir.File(Format("neg/a_t%d_%d.png", x, y)));
      bool clear = true;
      for (const annotation::Object& o : a.objects)
        clear = clear && (cv::Rect2d(o.x - o.width / 2, o.y - o.height / 2, o.width * 2, o.height * 2) &
                          cv::Rect2d(x, y, 64, 64)).area() <= 0;
      EXPECT_EQ(written, clear) << x << "," << y;
    }

  // The same seed cuts the same jittered windows, on any number of
  // threads; another seed others.
  options.threads = 1;
  CutTrainingWindows({a, empty}, kPerson, options, "", dir.File("again"), "");
  EXPECT_EQ(testutil::ReadWholeFile(dir.File("again/a_0_j1.png")), testutil::ReadWholeFile(dir.File("pos/a_0_j1.png")));
  options.seed = 8;
  CutTrainingWindows({a}, kPerson, options, "", dir.File("other"), "");
  EXPECT_NE(testutil::ReadWholeFile(dir.File("other/a_0_j1.png")), testutil::ReadWholeFile(dir.File("pos/a_0_j1.png")));
  EXPECT_EQ(testutil::ReadWholeFile(dir.File("other/a_0.png")), testutil::ReadWholeFile(dir.File("pos/a_0.png")));

  // An image that is not the size its annotation says is the wrong image.
  a.width = 640;
  a.height = 256;
  try {
    CutTrainingWindows({a}, kPerson, options, "", dir.File("pos"), "");
    ADD_FAILURE() << "a mismatching image was cut";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.text(), dir.File("a.png") + ": the image is 320 x 256, but a.json says 640 x 256\n");
  }
}

// Near negatives, read back from a picture whose pixels hold their own
// coordinates: each window's object box overlaps every box by under 0.3.
TEST(CutTrainingWindows, NearNegativesMissEveryObjectAndLeaveThePositivesAlone) {
  TempDir dir;
  cv::Mat scene(256, 256, CV_8UC3);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) scene.at<cv::Vec3b>(y, x) = cv::Vec3b(x, y, 0);
  cv::imwrite(dir.File("a.png"), scene);
  annotation::Image a;
  a.name = "a";
  a.source = "a.xml";
  a.path = dir.File("a.png");
  a.objects = {Box(60, 60, 40, 96), Box(110, 70, 40, 96), Box(190, 20, 30, 72, true)};

  CutOptions options;
  options.jitter = 1;
  options.tile = -1;
  CutTrainingWindows({a}, kPerson, options, "", dir.File("plain"), dir.File("plainneg"));
  options.nearNegatives = 6;
  const CutReport report = CutTrainingWindows({a}, kPerson, options, "", dir.File("pos"), dir.File("neg"));
  EXPECT_EQ(testutil::ReadWholeFile(dir.File("pos/a_1_j1.png")), testutil::ReadWholeFile(dir.File("plain/a_1_j1.png")));
  EXPECT_GT(report.nearNegatives, 4);
  EXPECT_LE(report.nearNegatives, 12);

  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("neg"))) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ASSERT_TRUE(name.rfind("a_0_n", 0) == 0 || name.rfind("a_1_n", 0) == 0);  // none around the ignore region
    const cv::Mat window = cv::imread(entry.path().string());
    ASSERT_EQ(window.size(), cv::Size(32, 64));
    // Pixel centres sample the image's coordinates (x in blue, y in green).
    const double s = (window.at<cv::Vec3b>(0, 31)[0] - window.at<cv::Vec3b>(0, 0)[0]) / 31.0;
    const double left = window.at<cv::Vec3b>(0, 0)[0] + 0.5 - 0.5 * s;
    const double top = window.at<cv::Vec3b>(0, 0)[1] + 0.5 - 0.5 * s;
    EXPECT_GE(left, -1);
    EXPECT_LE(left + 32 * s, 257);
    const cv::Rect2d drawn(left + 6 * s, top + 8 * s, 20 * s, 48 * s);
    EXPECT_GE(drawn.height, 24 - 1);
    for (const annotation::Object& o : a.objects) {
      const cv::Rect2d box(o.x, o.y, o.width, o.height);
      const double common = (drawn & box).area();
      EXPECT_LT(common / (drawn.area() + box.area() - common), kNearOverlap + 0.02) << o.x;
    }
    ++seen;
  }
  EXPECT_EQ(seen, report.nearNegatives);

  // The same beside another image, on two threads.
  annotation::Image b = a;
  b.name = "b";
  options.threads = 2;
  CutTrainingWindows({a, b}, kPerson, options, "", dir.File("pos2"), dir.File("neg2"));
  EXPECT_TRUE(testutil::ReadWholeFile(dir.File("neg2/a_1_n0.png")) == testutil::ReadWholeFile(dir.File("neg/a_1_n0.png")));
}

annotation::Image Frame(const std::string& name, const std::string& source) {
  annotation::Image image;
  image.name = name;
  image.source = source;
  return image;
}

TEST(CheckFrameRange, PassesFramesInsideAndNamesTheFirstImageOutside) {
  EXPECT_NO_THROW(CheckFrameRange({Frame("0000", "a.txt"), Frame("vtest_0399", "b.txt")}, 0, 399));
  // Padding is no part of the number, however long.
  EXPECT_NO_THROW(CheckFrameRange({Frame("f00000000000000000000000000000000123", "a.txt")}, 0, 399));
  EXPECT_NO_THROW(CheckFrameRange({}, 5, 5));
  const struct {
    annotation::Image image;
    long long first, last;
    std::string text;
  } cases[] = {
      {Frame("0400", "data/x.xml"), 0, 399,
       "data/x.xml: image '0400': frame 400 is outside the training frames 0-399\n"},
      {Frame("vtest_0099", "c.json"), 100, 199,
       "c.json: image 'vtest_0099': frame 99 is outside the training frames 100-199\n"},
      {Frame("street", "d.txt"), 0, 399, "d.txt: image 'street': no frame number in the name (--frames 0-399)\n"},
      {Frame("0012_left", "e.txt"), 0, 399,
       "e.txt: image '0012_left': no frame number in the name (--frames 0-399)\n"},
      // Too long for any integer type: still outside, never wrapped into range.
      {Frame("f_0018446744073709551616", "f.txt"), 0, 399,
       "f.txt: image 'f_0018446744073709551616': frame 18446744073709551616 is outside the training frames "
       "0-399\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image.name);
    try {
      CheckFrameRange({Frame(std::to_string(c.last), "a.txt"), c.image}, c.first, c.last);
      ADD_FAILURE() << "passed";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.text(), c.text);
    }
  }
}

#ifdef WINDOWS_BINARY
TEST(WindowsCommand, FramesOutsideTheTrainingRangeStopItBeforeAnyWindow) {
  TempDir dir;
  dir.MakeDir("boxes");
  const std::string images = dir.MakeDir("images");
  const std::string pos = dir.MakeDir("pos");
  for (const char* name : {"0001", "0450"}) {
    dir.WriteFile(std::string("boxes/") + name + ".txt", "10 10 30 72\n");
    cv::imwrite(images + "/" + name + ".png", cv::Mat(160, 128, CV_8UC3, cv::Scalar(40, 90, 160)));
  }
  const std::string command = testutil::ShellQuote(WINDOWS_BINARY) + " -c " +
                              testutil::ShellQuote(std::string(PEDSCAN_SOURCE_DIR) + "/data/train.txt") +
                              " -p " + pos + " --images " + images + " " + dir.File("boxes");

  testutil::CommandResult run = testutil::RunCommand(command + " --frames 0-399");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, dir.File("boxes/0450.txt") + ": image '0450': frame 450 is outside the training frames 0-399\n");
  EXPECT_TRUE(std::filesystem::is_empty(pos));

  for (const char* value : {"399-0", "0-", "-5-10", "0:399", "a-b"}) {
    run = testutil::RunCommand(command + " --frames " + testutil::ShellQuote(value));
    EXPECT_EQ(run.status, 1) << value;
    EXPECT_NE(run.err.find(std::string("not '") + value + "'"), std::string::npos) << run.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(pos));

  // A range that holds every frame changes nothing the tool prints.
  const testutil::CommandResult plain = testutil::RunCommand(command);
  ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
  run = testutil::RunCommand(command + " --frames 1-450");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, plain.out);
  EXPECT_EQ(run.err, "");
}

const std::string kExamples = "/usr/share/doc/labelme-examples/examples/bbox_detection";

TEST(WindowsCommand, CutsTheLabelmeExamplesForTheBundledModel) {
  if (!std::ifstream(kExamples + "/data_annotated/2011_000003.json"))
    GTEST_SKIP() << "Debian package labelme-examples is not installed";
  TempDir dir;
  const std::string windows = testutil::ShellQuote(WINDOWS_BINARY);
  const std::string config = testutil::ShellQuote(std::string(PEDSCAN_SOURCE_DIR) + "/data/train.txt");
  testutil::CommandResult run = testutil::RunCommand(
      windows + " -c " + config + " -p " + dir.File("pos") + " -n " + dir.File("neg") +
      " --class person --mirror --sheet " + dir.File("sheet.png") + " " + kExamples + "/data_dataset_voc");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out,
            "Pascal VOC: 3 images, 6 objects; window 32 x 64, object box <6, 8, 20, 48>\n"
            "positives: 12 windows in " + dir.File("pos") + "\n"
            "negatives: 1 whole images and 4 tiles in " + dir.File("neg") + "\n"
            "skipped: 0 smaller than 24 px, 0 cut by the image border, 0 ignore regions\n"
            "sheet: " + dir.File("sheet.png") + "\n");
  const cv::Mat sheet = cv::imread(dir.File("sheet.png"));
  EXPECT_EQ(sheet.size(), cv::Size(12 * 66, 130));

  run = testutil::RunCommand(windows + " -c " + config + " -p " + dir.File("p3") + " -n " + dir.File("n3") +
                             " --class person --near-negatives 2 " + kExamples + "/data_dataset_voc");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("near negatives: "), std::string::npos) << run.out;
  run = testutil::RunCommand(windows + " -c " + config + " -p " + dir.File("p4") + " --near-negatives 2 " +
                             kExamples + "/data_dataset_voc");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--near-negatives needs -n"), std::string::npos) << run.err;

  run = testutil::RunCommand(windows + " -c " + config + " -p " + dir.File("p2") + " --class persn " +
                             kExamples + "/data_annotated");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, kExamples + "/data_annotated: no object of class 'persn' (classes there: bus, car, person)\n");
}
#endif

}  // namespace
}  // namespace dataset
}  // namespace pedscan
