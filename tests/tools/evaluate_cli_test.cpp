// The evaluate program run as a user runs it on ground truth of the
// annotation tools' formats: VOC and COCO files written here with answers
// worked out by hand, the example datasets of Debian's labelme-examples
// scored against detections equal to their truth, and bad input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../support/run_command.h"
#include "annotation/annotation.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

const std::string kLabelmeExamples = "/usr/share/doc/labelme-examples/examples";

CommandResult Evaluate(const std::vector<std::string>& arguments) {
  std::string command = ShellQuote(EVALUATE_BINARY);
  for (const std::string& a : arguments) command += " " + ShellQuote(a);
  return RunCommand(command);
}

// The table's rows (after the heading) split into words.
std::vector<std::vector<std::string>> Rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string w; words >> w;) row.push_back(w);
    rows.push_back(row);
  }
  return rows;
}

std::string VocObject(const std::string& name, int x0, int y0, int x1, int y1, bool difficult) {
  return "<object><name>" + name + "</name><difficult>" + (difficult ? "1" : "0") +
         "</difficult><bndbox><xmin>" + std::to_string(x0) + "</xmin><ymin>" + std::to_string(y0) +
         "</ymin><xmax>" + std::to_string(x1) + "</xmax><ymax>" + std::to_string(y1) + "</ymax></bndbox></object>";
}

std::string VocFile(const std::string& image, const std::string& objects) {
  return "<annotation><filename>" + image + "</filename>" + objects + "</annotation>\n";
}

TEST(EvaluateCommand, VocTruthWithADifficultObjectClassesAndThresholds) {
  TempDir dir;
  dir.MakeDir("voc");
  // img1: person A at 10,10 (20x48), a difficult person B at 100,10, a dog.
  // img2: person C.
  dir.WriteFile("voc/img1.xml", VocFile("img1.jpg", VocObject("person", 10, 10, 30, 58, false) +
                                                        VocObject("person", 100, 10, 120, 58, true) +
                                                        VocObject("dog", 200, 10, 240, 40, false)));
  dir.WriteFile("voc/img2.xml", VocFile("img2.jpg", VocObject("person", 50, 50, 70, 98, false)));
  const std::string results = dir.MakeDir("results");
  dir.WriteFile("results/img1.txt",
                "10 10 20 48 0.9\n"    // A
                "100 10 20 48 0.8\n"   // on the difficult B: ignored
                "300 10 20 48 0.7\n"   // nothing there
                "200 10 40 30 0.6\n");  // the dog
  dir.WriteFile("results/img2.txt", "50 50 20 48 0.5\n");  // C

  // People only. Ranked: A found, B ignored, two false, C found; 2 people.
  // Every box: precision 2/4, recall 1. AP: recall 1/2 at precision 1, then
  // 1 at 2/4: 0.75, at every IoU alike (the boxes are exact). Miss rate (two
  // frames): 0.5 up to FPPI 1, where C is found at FPPI 1 exactly: eight
  // reference points see 0.5, the last one 0 (1e-10), exp((8 ln 0.5 +
  // ln 1e-10) / 9) = 4.18 %.
  CommandResult r = Evaluate({dir.File("voc"), "--class", "person", "voc=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Rows(r.out), (std::vector<std::vector<std::string>>{
                             {"voc", "2", "2", "0.500", "1.000", "0.750", "4.18%", "0.750", "1"}}));
  // Today's heading, the new columns after it.
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "detector       frames people precision    recall      AP log-av MR AP.5:.95 ignored");

  // Every class: the unlabelled box on the dog finds it; 3 objects. At the
  // detector's own threshold 0.65 (the -t 0 default is overridden): A found,
  // B ignored, one false: precision 1/2, recall 1/3; with every box 3/4 and
  // 1. AP: thirds of recall at
  // envelope precisions 1, 3/4, 3/4 = 0.833.
  r = Evaluate({dir.File("voc"), "-t", "0", "all=" + results + "@0.65", "every=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 2u) << r.out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"all", "2", "3", "0.500", "0.333", "0.833", rows[0][6], rows[0][7], rows[0][8]}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"every", "2", "3", "0.750", "1.000", "0.833", rows[1][6], rows[1][7], rows[1][8]}));

  // Plots and curves.
  r = Evaluate({dir.File("voc"), "-p", dir.File("out"), "voc=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string csv = testutil::ReadWholeFile(dir.File("out-curves.csv"));
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "detector,threshold,precision,recall,fppi,miss_rate,true_positives,false_positives,ignored");
  EXPECT_NE(csv.find("\nvoc,0.8,1,0.333333333333,0,0.666666666667,1,0,1\n"), std::string::npos) << csv;
  EXPECT_TRUE(std::filesystem::exists(dir.File("out-missrate.png")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("out-pr.png")));

  // A frame without its result file is named, as with text ground truth.
  std::filesystem::remove(dir.File("results/img2.txt"));
  r = Evaluate({dir.File("voc"), results});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find(results + "/img2.txt: cannot open detection file"), std::string::npos) << r.out;
}

TEST(EvaluateCommand, CocoTruthWithCrowdsAndCocoResults) {
  TempDir dir;
  const std::string truth = dir.WriteFile("truth.json", R"({
    "images": [{"id": 1, "file_name": "frames/a.jpg"}, {"id": 2, "file_name": "b.png"}],
    "categories": [{"id": 1, "name": "person"}, {"id": 2, "name": "car"}],
    "annotations": [
      {"id": 1, "image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 48], "iscrowd": 0},
      {"id": 2, "image_id": 1, "category_id": 1, "bbox": [100, 0, 60, 60], "iscrowd": 1},
      {"id": 3, "image_id": 1, "category_id": 2, "bbox": [200, 10, 40, 30], "iscrowd": 0},
      {"id": 4, "image_id": 2, "category_id": 1, "bbox": [50, 50, 20, 48], "iscrowd": 0}]})");
  // The car's box is 40x21.6 inside its 40x30: IoU 864/1200 = 0.72.
  const std::string results = dir.WriteFile("results.json", R"([
    {"image_id": 1, "category_id": 1, "bbox": [10, 10, 20, 48], "score": 0.9},
    {"image_id": 1, "category_id": 1, "bbox": [110, 5, 20, 48], "score": 0.8},
    {"image_id": 1, "category_id": 2, "bbox": [200, 10, 40, 21.6], "score": 0.7},
    {"image_id": 1, "category_id": 1, "bbox": [200, 10, 40, 30], "score": 0.6}])");
  // Every class, 3 objects: person found, the box in the crowd ignored, the
  // car found at IoU 0.72, a person on the car false (wrong class); b missed.
  //   At 0.50-0.70: thirds of recall at precision 1, 1: AP 2/3.
  //   At 0.75-0.95 the car's box is false: AP 1/3.
  //   Mean over the ten: (5 * 2/3 + 5 * 1/3) / 10 = 0.5.
  CommandResult r = Evaluate({truth, "coco=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"coco", "2", "3", "0.667", "0.667", "0.667", rows[0][6], "0.500", "1"}));
  // People only: found, ignored, false; the crowd is no miss, b is:
  // precision 1/2, recall 1/2, AP 1/2 at every IoU.
  r = Evaluate({"-c", "person", truth, "coco=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  rows = Rows(r.out);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"coco", "2", "2", "0.500", "0.500", "0.500", rows[0][6], "0.500", "1"}));

  // Bad results: the file and key named, status 2, never a crash.
  const struct {
    std::string text, named;
  } bad[] = {
      {R"([{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3], "score": 0.5}])", "[0].bbox"},
      {R"([{"image_id": 7, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5}])", "[0].image_id"},
      {R"([{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4]}])", "score"},
      {R"([{"image_id": 1, )", "results.json"},
      {R"({"images": [{"id": 1, "file_name": "elsewhere.jpg"}], "categories": [{"id": 1, "name": "person"}],
          "annotations": [{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5}]})",
       "none of its 1 images is in the ground truth"},
  };
  for (const auto& b : bad) {
    dir.WriteFile("results.json", b.text);
    r = Evaluate({truth, results});
    EXPECT_EQ(r.status, 2) << b.text;
    EXPECT_NE(r.out.find(results), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(b.named), std::string::npos) << r.out;
  }
  // Bad truth: named with its key.
  dir.WriteFile("truth.json", R"({"images": [{"id": 1, "file_name": "a.jpg"}], "categories": [],
      "annotations": [{"id": 1, "image_id": 1, "category_id": 3, "bbox": [1, 2, 3, 4]}]})");
  r = Evaluate({truth, results});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find(truth + ": annotations[0]"), std::string::npos) << r.out;
}

TEST(EvaluateCommand, LabelmeExamplesScoredAgainstTheirOwnBoxes) {
  const std::string voc = kLabelmeExamples + "/bbox_detection/data_dataset_voc/Annotations";
  const std::string coco = kLabelmeExamples + "/instance_segmentation/data_dataset_coco/annotations.json";
  if (!std::filesystem::exists(voc) || !std::filesystem::exists(coco))
    GTEST_SKIP() << "Debian's labelme-examples is not installed (" << kLabelmeExamples << ")";
  TempDir dir;

  // VOC: every image's objects written back as pedscan result files.
  const std::string results = dir.MakeDir("voc");
  size_t objects = 0;
  for (const annotation::Image& image : annotation::ReadAnnotations(voc)) {
    std::string text;
    for (const annotation::Object& o : image.objects) {
      text += Format("%.17g %.17g %.17g %.17g %g\n", o.x, o.y, o.width, o.height, 1.0 - 0.01 * objects++);
    }
    dir.WriteFile("voc/" + image.name + ".txt", text);
  }
  CommandResult r = Evaluate({voc, "same=" + results});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0][1], "3");
  EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 3, rows[0].begin() + 6),
            (std::vector<std::string>{"1.000", "1.000", "1.000"}));
  EXPECT_EQ(rows[0][7], "1.000");

  // COCO: the annotations turned into a results list, classes by the
  // truth's category ids.
  const nlohmann::json truth = nlohmann::json::parse(testutil::ReadWholeFile(coco));
  std::map<std::string, long long> categoryIds;
  for (const auto& c : truth["categories"]) categoryIds[c["name"]] = c["id"];
  nlohmann::json list = nlohmann::json::array();
  double score = 1.0;
  for (const annotation::Image& image : annotation::ReadAnnotations(coco)) {
    for (const annotation::Object& o : image.objects) {
      list.push_back({{"image_id", image.cocoId},
                      {"category_id", categoryIds.at(o.label)},
                      {"bbox", {o.x, o.y, o.width, o.height}},
                      {"score", score -= 0.01}});
    }
  }
  const std::string cocoResults = dir.WriteFile("coco.json", list.dump());
  for (const std::vector<std::string>& classes :
       {std::vector<std::string>{}, std::vector<std::string>{"-c", "person"}}) {
    std::vector<std::string> arguments = classes;
    for (const std::string& a : {coco, "same=" + cocoResults}) arguments.push_back(a);
    r = Evaluate(arguments);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    rows = Rows(r.out);
    ASSERT_EQ(rows.size(), 1u) << r.out;
    EXPECT_EQ(rows[0][1], "3");
    // Twelve objects, six of them people.
    EXPECT_EQ(rows[0][2], classes.empty() ? "12" : "6");
    EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 3, rows[0].begin() + 6),
              (std::vector<std::string>{"1.000", "1.000", "1.000"}));
    EXPECT_EQ(rows[0][7], "1.000");
  }
}

}  // namespace
}  // namespace pedscan
