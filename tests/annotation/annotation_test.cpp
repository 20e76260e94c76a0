#include "annotation/annotation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>

#include "../support/run_command.h"
#include "support/failure.h"

namespace pedscan {
namespace annotation {
namespace {

using testutil::TempDir;

// What the reader's failure says, or "" when it read the file.
std::string FailureOf(const std::string& path, const ClassFilter& filter = {}) {
  try {
    ReadAnnotations(path, filter);
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), 2);
    return failure.text();
  }
  return "";
}

std::map<std::string, int> CountByClass(const std::vector<Image>& images, bool ignored = false) {
  std::map<std::string, int> counts;
  for (const Image& image : images)
    for (const Object& object : image.objects)
      if (object.ignore == ignored) ++counts[object.label];
  return counts;
}

// ------------------------------------------------- the files labelme ships

const std::string kExamples = "/usr/share/doc/labelme-examples/examples";

bool HaveExamples() {
  struct stat st;
  return stat(kExamples.c_str(), &st) == 0;
}

// Counts per class made by Python's own json and xml modules, "class count"
// per line, so that the reader is checked against an independent parser.
std::map<std::string, int> PythonCounts(const std::string& script) {
  const testutil::CommandResult result = testutil::RunCommand("python3 -c " + testutil::ShellQuote(script));
  EXPECT_EQ(result.status, 0) << result.err;
  std::map<std::string, int> counts;
  std::istringstream lines(result.out);
  std::string label;
  int count = 0;
  while (lines >> label >> count) counts[label] = count;
  return counts;
}

TEST(LabelmeExamples, EveryFormatCountsWhatPythonCounts) {
  if (!HaveExamples()) GTEST_SKIP() << "Debian package labelme-examples is not installed";
  const std::string bbox = kExamples + "/bbox_detection";
  const std::string instances = kExamples + "/instance_segmentation";

  const std::vector<Image> labelme = ReadAnnotations(bbox + "/data_annotated");
  EXPECT_EQ(DetectFormat(bbox + "/data_annotated"), Format::kLabelme);
  ASSERT_EQ(labelme.size(), 3u);
  EXPECT_EQ(labelme[0].name, "2011_000003");
  EXPECT_EQ(labelme[0].path, bbox + "/data_annotated/2011_000003.jpg");
  EXPECT_EQ(labelme[0].width, 500);
  EXPECT_EQ(CountByClass(labelme), PythonCounts(
      "import json, glob, collections\n"
      "c = collections.Counter(s['label'] for f in glob.glob('" + bbox + "/data_annotated/*.json')"
      " for s in json.load(open(f))['shapes'])\n"
      "for k, v in c.items(): print(k, v)"));

  const std::vector<Image> voc = ReadAnnotations(bbox + "/data_dataset_voc/Annotations");
  EXPECT_EQ(DetectFormat(bbox + "/data_dataset_voc"), Format::kPascalVoc);
  ASSERT_EQ(voc.size(), 3u);
  EXPECT_EQ(voc[1].path, bbox + "/data_dataset_voc/JPEGImages/2011_000006.jpg");
  EXPECT_EQ(CountByClass(voc), PythonCounts(
      "import glob, collections, xml.etree.ElementTree as ET\n"
      "c = collections.Counter(o.find('name').text for f in glob.glob('" + bbox +
      "/data_dataset_voc/Annotations/*.xml') for o in ET.parse(f).getroot().iter('object'))\n"
      "for k, v in c.items(): print(k, v)"));
  // The conversion keeps labelme's float corners.
  for (size_t i = 0; i < voc.size(); ++i) {
    ASSERT_EQ(voc[i].objects.size(), labelme[i].objects.size());
    EXPECT_DOUBLE_EQ(voc[i].objects[0].y, labelme[i].objects[0].y);
    EXPECT_DOUBLE_EQ(voc[i].objects[0].height, labelme[i].objects[0].height);
  }

  const std::string coco = instances + "/data_dataset_coco/annotations.json";
  const std::vector<Image> cocoImages = ReadAnnotations(coco);
  ASSERT_EQ(cocoImages.size(), 3u);
  EXPECT_EQ(cocoImages[0].cocoId, 0);
  EXPECT_EQ(CountByClass(cocoImages), PythonCounts(
      "import json, collections\n"
      "d = json.load(open('" + coco + "'))\n"
      "names = {c['id']: c['name'] for c in d['categories']}\n"
      "c = collections.Counter(names[a['category_id']] for a in d['annotations'] if not a['iscrowd'])\n"
      "for k, v in c.items(): print(k, v)"));

  // Polygons become their bounding boxes; __ignore__ regions are kept as
  // ignore regions whatever the filter.
  const std::vector<Image> polygons = ReadAnnotations(instances + "/data_annotated", {{"person"}});
  EXPECT_EQ(CountByClass(polygons), (std::map<std::string, int>{{"person", 7}}));
  EXPECT_EQ(CountByClass(polygons, true), (std::map<std::string, int>{{"__ignore__", 2}}));
  // The polygon's box and COCO's box of the same person agree to a pixel.
  const Object& first = polygons[0].objects[0];
  const Object& same = cocoImages[0].objects[0];
  EXPECT_NEAR(first.x, same.x, 1.0);
  EXPECT_NEAR(first.width, same.width, 1.0);
}

// ------------------------------------------------- files written here

TEST(Formats, EachReadsItsBoxesFlagsAndClasses) {
  TempDir dir;
  // LabelImg's VOC: integer corners, a difficult object, a truncated one.
  dir.MakeDir("voc");
  dir.WriteFile("voc/a.xml",
                "<annotation><filename>a.png</filename><size><width>64</width><height>48</height></size>\n"
                "<object><name>person</name><truncated>1</truncated><difficult>0</difficult>\n"
                "<bndbox><xmin>10</xmin><ymin>5</ymin><xmax>20.5</xmax><ymax>45</ymax></bndbox></object>\n"
                "<object><name>person</name><difficult>1</difficult>\n"
                "<bndbox><xmin>30</xmin><ymin>5</ymin><xmax>40</xmax><ymax>25</ymax></bndbox></object>\n"
                "<object><name>dog</name><bndbox><xmin>1</xmin><ymin>1</ymin><xmax>3</xmax><ymax>3</ymax></bndbox></object>\n"
                "</annotation>\n");
  const std::vector<Image> voc = ReadAnnotations(dir.File("voc"), {{"person"}});
  ASSERT_EQ(voc.size(), 1u);
  EXPECT_EQ(voc[0].name, "a");
  EXPECT_EQ(voc[0].height, 48);
  ASSERT_EQ(voc[0].objects.size(), 2u);
  EXPECT_DOUBLE_EQ(voc[0].objects[0].width, 10.5);
  EXPECT_TRUE(voc[0].objects[0].truncated);
  EXPECT_FALSE(voc[0].objects[0].ignore);
  EXPECT_TRUE(voc[0].objects[1].ignore);

  // COCO: a crowd becomes an ignore region; an image without objects stays.
  dir.WriteFile("coco.json",
                R"({"images": [{"id": 7, "file_name": "sub/b.jpg", "width": 10, "height": 10},
                               {"id": 8, "file_name": "c.jpg"}],
                    "categories": [{"id": 1, "name": "person"}, {"id": 2, "name": "car"}],
                    "annotations": [{"image_id": 7, "category_id": 1, "bbox": [1, 2, 3, 4], "iscrowd": 0},
                                    {"image_id": 7, "category_id": 1, "bbox": [0, 0, 9, 9], "iscrowd": 1},
                                    {"image_id": 7, "category_id": 2, "bbox": [0, 0, 1, 1]}]})");
  const std::vector<Image> coco = ReadAnnotations(dir.File("coco.json"), {{"person"}});
  ASSERT_EQ(coco.size(), 2u);
  EXPECT_EQ(coco[0].path, dir.File("sub/b.jpg"));
  ASSERT_EQ(coco[0].objects.size(), 2u);
  EXPECT_DOUBLE_EQ(coco[0].objects[0].height, 4);
  EXPECT_TRUE(coco[0].objects[1].ignore);
  EXPECT_TRUE(coco[1].objects.empty());

  // imglab: top/left order, ignore='1', labels.
  dir.WriteFile("imglab.xml",
                "<?xml version='1.0' encoding='ISO-8859-1'?>\n<dataset><name>x</name><images>\n"
                "<image file='/data/d.png'>\n"
                "  <box top='5' left='7' width='10' height='20'><label>person</label></box>\n"
                "  <box top='1' left='1' width='2' height='2' ignore='1'/>\n"
                "</image></images></dataset>\n");
  const std::vector<Image> imglab = ReadAnnotations(dir.File("imglab.xml"), {{"person"}});
  ASSERT_EQ(imglab.size(), 1u);
  EXPECT_EQ(imglab[0].path, "/data/d.png");
  ASSERT_EQ(imglab[0].objects.size(), 2u);
  EXPECT_DOUBLE_EQ(imglab[0].objects[0].x, 7);
  EXPECT_DOUBLE_EQ(imglab[0].objects[0].y, 5);
  EXPECT_TRUE(imglab[0].objects[1].ignore);

  // labelme: corners in either order, a polygon's box, a point left out.
  dir.WriteFile("e.json",
                R"({"shapes": [{"label": "person", "points": [[20, 30], [10, 5]], "shape_type": "rectangle"},
                               {"label": "person", "points": [[1, 1], [4, 2], [2, 6]], "shape_type": "polygon"},
                               {"label": "person", "points": [[1, 1]], "shape_type": "point"}],
                    "imagePath": "e.png"})");
  const std::vector<Image> labelme = ReadAnnotations(dir.File("e.json"));
  ASSERT_EQ(labelme[0].objects.size(), 2u);
  EXPECT_DOUBLE_EQ(labelme[0].objects[0].x, 10);
  EXPECT_DOUBLE_EQ(labelme[0].objects[0].height, 25);
  EXPECT_DOUBLE_EQ(labelme[0].objects[1].width, 3);
  EXPECT_DOUBLE_EQ(labelme[0].objects[1].height, 5);

  // pedscan text, with the byte-order mark some editors write.
  dir.MakeDir("text");
  dir.WriteFile("text/0400.txt", "\xEF\xBB\xBF" "1 2 3 4\n\n5 6 7 8\n");
  const std::vector<Image> text = ReadAnnotations(dir.File("text"), {{"person"}});
  EXPECT_EQ(DetectFormat(dir.File("text")), Format::kBoxText);
  ASSERT_EQ(text[0].objects.size(), 2u);
  EXPECT_EQ(text[0].name, "0400");
}

TEST(Formats, AByteOrderMarkReadsLikeNone) {
  TempDir dir;
  const std::string json = R"({"shapes": [{"label": "a", "points": [[0, 0], [2, 3]], "shape_type": "rectangle"}]})";
  const std::string xml = "<annotation><object><name>a</name><bndbox><xmin>0</xmin><ymin>0</ymin>"
                          "<xmax>2</xmax><ymax>3</ymax></bndbox></object></annotation>";
  for (const std::string& body : {json, xml}) {
    const std::string ext = body[0] == '{' ? ".json" : ".xml";
    const std::vector<Image> plain = ReadAnnotations(dir.WriteFile("plain" + ext, body));
    const std::vector<Image> marked = ReadAnnotations(dir.WriteFile("marked" + ext, "\xEF\xBB\xBF" + body));
    ASSERT_EQ(marked[0].objects.size(), 1u);
    EXPECT_DOUBLE_EQ(marked[0].objects[0].height, plain[0].objects[0].height);
  }
}

// Every malformed file is refused with the file and the line or key, never
// read as a box.
TEST(Formats, MalformedFilesNameTheFileAndThePlace) {
  TempDir dir;
  const std::string coco = R"({"images": [{"id": 1, "file_name": "a.jpg"}], "categories": [{"id": 1, "name": "p"}],
                                "annotations": [ANNOTATION]})";
  auto cocoWith = [&](const std::string& name, const std::string& annotation) {
    std::string text = coco;
    text.replace(text.find("ANNOTATION"), 10, annotation);
    return dir.WriteFile(name, text);
  };
  std::string path = cocoWith("missing.json", R"({"image_id": 1, "category_id": 1})");
  EXPECT_EQ(FailureOf(path), path + ": annotations[0].bbox: missing\n");
  path = cocoWith("negative.json", R"({"image_id": 1, "category_id": 1, "bbox": [0, 0, -3, 4]})");
  EXPECT_EQ(FailureOf(path),
            path + ": annotations[0].bbox: a box of width -3 and height 4 (both must be positive)\n");
  path = cocoWith("text.json", R"({"image_id": 1, "category_id": 1, "bbox": [0, "1", 3, 4]})");
  EXPECT_EQ(FailureOf(path), path + ": annotations[0].bbox[1]: expected a number, not \"1\"\n");
  path = cocoWith("class.json", R"({"image_id": 1, "category_id": 9, "bbox": [0, 0, 3, 4]})");
  EXPECT_EQ(FailureOf(path), path + ": annotations[0].category_id: unknown category 9\n");
  path = cocoWith("image.json", R"({"image_id": 2, "category_id": 1, "bbox": [0, 0, 3, 4]})");
  EXPECT_EQ(FailureOf(path), path + ": annotations[0].image_id: no image has id 2\n");

  path = dir.WriteFile("truncated.json", R"({"shapes": [{"label": "a", "points": [[0, 0], [2, )");
  EXPECT_NE(FailureOf(path).find(path + ": not valid JSON: "), std::string::npos) << FailureOf(path);
  EXPECT_NE(FailureOf(path).find("line 1"), std::string::npos) << FailureOf(path);
  path = dir.WriteFile("flat.json",
                       R"({"shapes": [{"label": "a", "points": [[0, 0], [5, 0]], "shape_type": "rectangle"}]})");
  EXPECT_EQ(FailureOf(path),
            path + ": shapes[0].points: a box of width 5 and height 0 (both must be positive)\n");
  path = dir.WriteFile("nan.json",
                       R"({"shapes": [{"label": "a", "points": [[0, 0], [5, null]], "shape_type": "rectangle"}]})");
  EXPECT_EQ(FailureOf(path), path + ": shapes[0].points[1][1]: expected a number, not null\n");

  path = dir.WriteFile("voc.xml",
                       "<annotation>\n<object><name>a</name>\n<bndbox><xmin>1</xmin><ymin>x1</ymin>"
                       "<xmax>2</xmax><ymax>3</ymax></bndbox></object></annotation>\n");
  EXPECT_EQ(FailureOf(path), path + ":3: <ymin> is not a number: 'x1'\n");
  path = dir.WriteFile("cut.xml", "<annotation>\n<object><name>a</name>\n<bndbox><xmin>1</xmin>");
  EXPECT_NE(FailureOf(path).find(path + ":3: not valid XML: "), std::string::npos) << FailureOf(path);
  path = dir.WriteFile("nobox.xml", "<annotation>\n<object>\n<name>a</name></object></annotation>\n");
  EXPECT_EQ(FailureOf(path), path + ":2: <object> has no <bndbox>\n");
  path = dir.WriteFile("dlib.xml",
                       "<dataset><images>\n<image file='a.png'>\n<box top='1' left='2' width='0' height='3'/>"
                       "</image></images></dataset>");
  EXPECT_EQ(FailureOf(path), path + ":3: a box of width 0 and height 3 (both must be positive)\n");

  dir.MakeDir("text");
  path = dir.WriteFile("text/1.txt", "1 2 3 4\n1 2 three 4\n");
  EXPECT_EQ(FailureOf(dir.File("text")),
            path + ":2: malformed ground-truth line '1 2 three 4' (expected x y w h)\n");

  path = dir.WriteFile("results.json", R"([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 0.5}])");
  EXPECT_EQ(FailureOf(path), path + ": holds scored detections (COCO results), not annotations\n");
  dir.MakeDir("mixed");
  dir.WriteFile("mixed/a.xml", "<annotation/>");
  dir.WriteFile("mixed/b.json", "{}");
  EXPECT_EQ(FailureOf(dir.File("mixed")), dir.File("mixed") +
            ": the folder mixes *.xml and *.json files; keep one kind of annotation file in it\n");
}

TEST(CocoDetections, ResolveThroughTheirOwnMapOrTheTruth) {
  TempDir dir;
  const std::string truthPath = dir.WriteFile(
      "truth.json", R"({"images": [{"id": 3, "file_name": "f3.jpg"}, {"id": 4, "file_name": "f4.jpg"}],
                        "categories": [{"id": 1, "name": "person"}], "annotations": []})");
  const std::vector<Image> truth = ReadAnnotations(truthPath);
  const std::string list = dir.WriteFile(
      "list.json", R"([{"image_id": 4, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.9},
                       {"image_id": 4, "category_id": 1, "bbox": [5, 6, 7, 8], "score": 0.1}])");
  EXPECT_TRUE(IsCocoDetections(list));
  EXPECT_FALSE(IsCocoDetections(truthPath));
  const std::vector<Image> found = ReadCocoDetections(list, truth, {{1, "person"}});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "f4");
  ASSERT_EQ(found[0].objects.size(), 2u);
  EXPECT_EQ(found[0].objects[1].label, "person");
  EXPECT_DOUBLE_EQ(found[0].objects[1].score, 0.1);

  const std::string own = dir.WriteFile(
      "own.json", R"({"images": [{"id": 0, "file_name": "0440.png"}], "categories": [{"id": 5, "name": "car"}],
                      "annotations": [{"image_id": 0, "category_id": 5, "bbox": [1, 2, 3, 4], "score": 2.5}]})");
  EXPECT_TRUE(IsCocoDetections(own));
  const std::vector<Image> mapped = ReadCocoDetections(own, {});
  ASSERT_EQ(mapped.size(), 1u);
  EXPECT_EQ(mapped[0].name, "0440");
  EXPECT_EQ(mapped[0].objects[0].label, "car");

  // A bare list takes its names from the companion file export writes.
  const std::string bare = dir.WriteFile(
      "bare.json", R"([{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "score": 0.5}])");
  dir.WriteFile("bare.meta.json", R"({"images": [{"id": 1, "file_name": "0441"}],
                                      "categories": [{"id": 1, "name": "person"}], "annotations": []})");
  EXPECT_EQ(CompanionOf(bare), dir.File("bare.meta.json"));
  const std::vector<Image> named = ReadCocoDetections(bare, {});
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].name, "0441");
  EXPECT_EQ(named[0].objects[0].label, "person");

  try {
    ReadCocoDetections(list, {});
    ADD_FAILURE() << "an unresolvable image id was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.text(), list + ": [0].image_id: no image map to resolve it: give COCO ground truth "
                                     "or an \"images\" list\n");
  }
}

}  // namespace
}  // namespace annotation
}  // namespace pedscan
