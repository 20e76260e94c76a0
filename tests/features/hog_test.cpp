#include "features/HOG.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "support/failure.h"
#include "block_rect.h"

namespace pedscan {
namespace {

// The reference sums each cell's votes directly in double precision, while
// the method takes differences of float integral images whose corners hold
// sums over the whole image above and left of the block. On the test images
// that cancellation moves a normalised value by up to about 5e-6; one vote
// counted in the wrong cell or bin moves it by 1e-4 or more.
constexpr double kNormalisedTolerance = 2e-5;

cv::Mat RandomImage(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(0, 255);
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      for (int k = 0; k < 3; ++k) p[k] = static_cast<uint8_t>(value(rng));
    }
  }
  return image;
}

// Smooth blobs plus noise: gradients of every size and direction, with many
// pixels where two channels tie.
cv::Mat TexturedImage(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-3, 3);
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      const int base = static_cast<int>(120 + 100 * std::sin(x * 0.3) * std::cos(y * 0.2));
      p[0] = static_cast<uint8_t>(std::clamp(base + noise(rng), 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(base, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(255 - base + noise(rng), 0, 255));
    }
  }
  return image;
}

HOG Configured(bool useHog, bool useColour) {
  HOG hog;
  hog.SetParameters({{"UseHOG", useHog ? "1" : "0"}, {"UseColorFrequency", useColour ? "1" : "0"}});
  return hog;
}

std::vector<float> Extract(HOG& hog, const BlockRect& rect) {
  std::vector<float> out(hog.GetNumberOfFeatures() + 1, -7.0f);
  hog.ExtractFeatures(rect, out.data());
  EXPECT_EQ(out.back(), -7.0f) << "wrote past its feature count";
  out.pop_back();
  return out;
}

// Per-pixel votes, straight from the definitions.
struct Vote {
  float magnitude;
  int bin;
  int channel;
};

std::vector<Vote> ReferenceVotes(const cv::Mat& image) {
  const int w = image.cols;
  const int h = image.rows;
  auto at = [&](int x, int y, int k) { return static_cast<int>(image.at<cv::Vec3b>(y, x)[k]); };
  std::vector<Vote> votes(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int16_t gx[3], gy[3];
      float e[3];
      for (int k = 0; k < 3; ++k) {
        if (w == 1) gx[k] = 0;
        else if (x == 0) gx[k] = static_cast<int16_t>(at(1, y, k) - at(0, y, k));
        else if (x == w - 1) gx[k] = static_cast<int16_t>(at(w - 1, y, k) - at(w - 2, y, k));
        else gx[k] = static_cast<int16_t>(at(x + 1, y, k) - at(x - 1, y, k));
        if (h == 1) gy[k] = 0;
        else if (y == 0) gy[k] = static_cast<int16_t>(at(x, 0, k) - at(x, 1, k));
        else if (y == h - 1) gy[k] = static_cast<int16_t>(at(x, h - 2, k) - at(x, h - 1, k));
        else gy[k] = static_cast<int16_t>(at(x, y - 1, k) - at(x, y + 1, k));
        e[k] = static_cast<float>(gx[k]) * static_cast<float>(gx[k]) +
               static_cast<float>(gy[k]) * static_cast<float>(gy[k]);
      }
      int d;
      if (e[1] < e[0]) d = e[0] > e[2] ? 0 : 2;
      else d = e[1] > e[2] ? 1 : 2;
      float angle = static_cast<float>(std::atan2(gy[d], gx[d]));
      if (angle < 0) angle = angle + 3.1415927f;
      const int bin = static_cast<int>(std::floor(angle * 9 / 3.1415936535897933));
      votes[static_cast<size_t>(y) * w + x] = {std::sqrt(e[d]), bin, d};
    }
  }
  return votes;
}

// Features of one block by summing each cell's votes pixel by pixel.
std::vector<double> ReferenceFeatures(const cv::Mat& image, const BlockRect& r, bool useHog,
                                      bool useColour) {
  const std::vector<Vote> votes = ReferenceVotes(image);
  const int xm = r.x0 + (r.x1 - r.x0 + 1) / 2;
  const int ym = r.y0 + (r.y1 - r.y0 + 1) / 2;
  std::vector<double> out;
  if (useHog) {
    std::vector<double> hist(36, 0.0);
    for (int y = r.y0; y <= r.y1; ++y) {
      for (int x = r.x0; x <= r.x1; ++x) {
        const Vote& v = votes[static_cast<size_t>(y) * image.cols + x];
        const int cell = 2 * (y >= ym) + (x >= xm);
        hist[cell * 9 + v.bin] += v.magnitude;
      }
    }
    double s = 0.0;
    for (double v : hist) s += v;
    if (s > 0) {
      double q = 0.0;
      for (double& v : hist) {
        v /= s;
        q += v * v;
      }
      for (double& v : hist) v /= std::sqrt(q + 1e-8);
    }
    out = hist;
  }
  if (useColour) {
    int counts[3] = {0, 0, 0};
    for (int y = r.y0; y <= r.y1; ++y) {
      for (int x = r.x0; x <= r.x1; ++x) ++counts[votes[static_cast<size_t>(y) * image.cols + x].channel];
    }
    const float t = ((0.0f + counts[0]) + counts[1]) + counts[2];
    for (int k = 0; k < 3; ++k) out.push_back(static_cast<float>(counts[k]) / t);
  }
  return out;
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

TEST(HOG, ParametersSelectTheFeatureGroupsAndCacheIsIgnored) {
  EXPECT_EQ(Configured(true, false).GetNumberOfFeatures(), 36);
  EXPECT_EQ(Configured(false, true).GetNumberOfFeatures(), 3);
  EXPECT_EQ(Configured(true, true).GetNumberOfFeatures(), 39);

  HOG hog;
  hog.SetParameters({{"UseHOG", "-2"}, {"UseColorFrequency", "abc"}, {"cache", "1"}});
  EXPECT_TRUE(hog.UseHOG());
  EXPECT_FALSE(hog.UseColorFrequency());
  EXPECT_EQ(hog.GetName(), "HOG");

  std::unique_ptr<ExtractionMethod> copy = Configured(false, true).Clone();
  EXPECT_EQ(copy->GetName(), "HOG");
  EXPECT_EQ(copy->GetNumberOfFeatures(), 3);
}

TEST(HOG, UnknownParameterIsAPlainFailureNamingKeyAndMethod) {
  HOG hog;
  try {
    hog.SetParameters({{"UseHOG", "1"}, {"bins", "16"}});
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.form(), Failure::Form::kPlain);
    EXPECT_EQ(failure.text(), "Parameter 'bins' invalid for feature 'HOG'\n");
    EXPECT_EQ(failure.status(), 2);
  }
}

TEST(HOG, SelectingNeitherGroupIsFatal) {
  const std::vector<ParameterMap> cases = {
      {}, {{"cache", "1"}}, {{"UseHOG", "0"}, {"UseColorFrequency", "0"}}};
  for (const ParameterMap& params : cases) {
    HOG hog;
    try {
      hog.SetParameters(params);
      FAIL() << "no failure";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.text(),
                ".\\HOG.cpp(HOG::SetParameters.271): \n  No features selected for HOG/Color Frequency\n");
      EXPECT_EQ(failure.status(), -1);
    }
  }
}

TEST(HOG, OrientationBinTableMatchesAtan2ForEveryGradient) {
  for (int gy = -255; gy <= 255; ++gy) {
    for (int gx = -255; gx <= 255; ++gx) {
      float angle = static_cast<float>(std::atan2(static_cast<double>(gy), static_cast<double>(gx)));
      if (angle < 0) angle = angle + 3.1415927f;
      // The product may be taken in float or in double: over this domain both
      // give the same bin.
      const int inDouble = static_cast<int>(std::floor(static_cast<double>(angle) * 9.0 / 3.1415936535897933));
      const int inFloat = static_cast<int>(std::floor(angle * 9 / 3.1415936535897933));
      ASSERT_EQ(HOG::OrientationBin(gx, gy), inDouble) << gx << "," << gy;
      ASSERT_EQ(inFloat, inDouble) << gx << "," << gy;
    }
  }
  EXPECT_EQ(HOG::OrientationBin(0, 0), 0);
  EXPECT_EQ(HOG::OrientationBin(5, 0), 0);
  EXPECT_EQ(HOG::OrientationBin(-5, 0), 8);  // exactly pi
  EXPECT_EQ(HOG::OrientationBin(0, 7), 4);
  EXPECT_EQ(HOG::OrientationBin(0, -7), 4);
  EXPECT_EQ(HOG::OrientationBin(-255, 1), 8);
  EXPECT_EQ(HOG::OrientationBin(-255, -1), 0);
}

TEST(HOG, IntegralImagesEqualPlainPerBinIntegralsBitForBit) {
  const std::vector<cv::Size> sizes = {{37, 23}, {64, 48}, {1, 9}, {9, 1}, {2, 2}, {1, 1}};
  unsigned seed = 1;
  for (const cv::Size& size : sizes) {
    for (const cv::Mat& image : {RandomImage(size.width, size.height, seed),
                                 TexturedImage(size.width, size.height, seed)}) {
      ++seed;
      const int w = image.cols;
      const int h = image.rows;
      const std::vector<Vote> votes = ReferenceVotes(image);
      HOG hog = Configured(true, true);
      hog.AddNewImage(image);
      for (int b = 0; b < 9; ++b) {
        // Down each column, then along each row, as single-precision sums of
        // every pixel's value for this bin (zero where it voted elsewhere).
        std::vector<float> plain(static_cast<size_t>(h + 1) * (w + 1), 0.0f);
        auto I = [&](int r, int c) -> float& { return plain[static_cast<size_t>(r) * (w + 1) + c]; };
        for (int c = 1; c <= w; ++c) {
          for (int r = 1; r <= h; ++r) {
            const Vote& v = votes[static_cast<size_t>(r - 1) * w + (c - 1)];
            I(r, c) = I(r - 1, c) + (v.bin == b ? v.magnitude : 0.0f);
          }
        }
        for (int r = 1; r <= h; ++r) {
          for (int c = 1; c <= w; ++c) I(r, c) = I(r, c) + I(r, c - 1);
        }
        for (int r = 0; r <= h; ++r) {
          for (int c = 0; c <= w; ++c) {
            ASSERT_EQ(Bits(hog.OrientationIntegral(b, r, c)), Bits(I(r, c)))
                << size << " bin " << b << " at " << r << "," << c;
          }
        }
      }
      for (int k = 0; k < 3; ++k) {
        for (int r = 0; r <= h; ++r) {
          for (int c = 0; c <= w; ++c) {
            int expected = 0;
            for (int y = 0; y < r; ++y) {
              for (int x = 0; x < c; ++x) expected += votes[static_cast<size_t>(y) * w + x].channel == k;
            }
            ASSERT_EQ(hog.ColorIntegral(k, r, c), expected) << size << " channel " << k;
          }
        }
      }
      hog.ReleaseImage();
    }
  }
}

TEST(HOG, FeaturesMatchCellSumsOfThePerPixelVotes) {
  std::mt19937 rng(42);
  for (unsigned seed = 0; seed < 6; ++seed) {
    const cv::Mat image = seed % 2 ? RandomImage(53, 41, seed) : TexturedImage(53, 41, seed);
    HOG hog = Configured(true, true);
    hog.AddNewImage(image);
    for (int trial = 0; trial < 200; ++trial) {
      const int w = std::uniform_int_distribution<int>(1, image.cols)(rng);
      const int h = std::uniform_int_distribution<int>(1, image.rows)(rng);
      const int x0 = std::uniform_int_distribution<int>(0, image.cols - w)(rng);
      const int y0 = std::uniform_int_distribution<int>(0, image.rows - h)(rng);
      const BlockRect rect = Rect(x0, y0, w, h);
      const std::vector<float> got = Extract(hog, rect);
      const std::vector<double> want = ReferenceFeatures(image, rect, true, true);
      ASSERT_EQ(got.size(), 39u);
      for (int i = 0; i < 36; ++i) {
        ASSERT_GE(got[i], 0.0f);
        ASSERT_NEAR(got[i], want[i], kNormalisedTolerance)
            << "block " << x0 << "," << y0 << " " << w << "x" << h << " value " << i;
      }
      for (int i = 36; i < 39; ++i) ASSERT_EQ(got[i], static_cast<float>(want[i])) << i;
    }
    hog.ReleaseImage();
  }
}

TEST(HOG, UniformImageHasZeroHistogramAndOnlyRedPixels) {
  HOG hog = Configured(true, true);
  hog.AddNewImage(cv::Mat(30, 20, CV_8UC3, cv::Scalar(90, 90, 90)));
  const std::vector<float> f = Extract(hog, Rect(2, 3, 16, 16));
  for (int i = 0; i < 36; ++i) EXPECT_EQ(f[i], 0.0f) << i;
  EXPECT_EQ(f[36], 0.0f);
  EXPECT_EQ(f[37], 0.0f);
  EXPECT_EQ(f[38], 1.0f);
}

TEST(HOG, TiedChannelsGoToGreenOverBlueAndToRedOverEither) {
  // A vertical step in the listed channels; the others stay flat.
  auto fractions = [](bool blue, bool green, bool red) {
    cv::Mat image(10, 10, CV_8UC3, cv::Scalar::all(30));
    image.colRange(5, 10).setTo(cv::Scalar(blue ? 230 : 30, green ? 230 : 30, red ? 230 : 30));
    HOG hog = Configured(false, true);
    hog.AddNewImage(image);
    // Columns 4 and 5 hold the step; everywhere else all three channels tie.
    return Extract(hog, Rect(4, 0, 2, 10));
  };
  EXPECT_EQ(fractions(true, true, false), (std::vector<float>{0.0f, 1.0f, 0.0f}));
  EXPECT_EQ(fractions(true, false, true), (std::vector<float>{0.0f, 0.0f, 1.0f}));
  EXPECT_EQ(fractions(false, true, true), (std::vector<float>{0.0f, 0.0f, 1.0f}));
  EXPECT_EQ(fractions(true, false, false), (std::vector<float>{1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(fractions(false, true, false), (std::vector<float>{0.0f, 1.0f, 0.0f}));
}

TEST(HOG, HorizontalStepVotesInBinZeroWhenBrighterToTheRightAndBinEightToTheLeft) {
  for (bool brighterRight : {true, false}) {
    cv::Mat image(16, 16, CV_8UC3, cv::Scalar::all(brighterRight ? 40 : 200));
    image.colRange(8, 16).setTo(cv::Scalar::all(brighterRight ? 200 : 40));
    HOG hog = Configured(true, false);
    hog.AddNewImage(image);
    const std::vector<float> f = Extract(hog, Rect(0, 0, 16, 16));
    const int votingBin = brighterRight ? 0 : 8;
    for (int cell = 0; cell < 4; ++cell) {
      for (int b = 0; b < 9; ++b) {
        if (b == votingBin) EXPECT_GT(f[cell * 9 + b], 0.0f) << cell;
        else EXPECT_EQ(f[cell * 9 + b], 0.0f) << cell << " bin " << b;
      }
    }
  }
}

TEST(HOG, BlockOfWidthOneLeavesTheLeftCellsEmpty) {
  const cv::Mat image = TexturedImage(20, 20, 3);
  HOG hog = Configured(true, false);
  hog.AddNewImage(image);
  const BlockRect rect = Rect(7, 2, 1, 12);
  const std::vector<float> f = Extract(hog, rect);
  const std::vector<double> want = ReferenceFeatures(image, rect, true, false);
  float right = 0.0f;
  for (int b = 0; b < 9; ++b) {
    EXPECT_EQ(f[b], 0.0f);
    EXPECT_EQ(f[18 + b], 0.0f);
    right += f[9 + b] + f[27 + b];
  }
  EXPECT_GT(right, 0.0f);
  for (int i = 0; i < 36; ++i) EXPECT_NEAR(f[i], want[i], kNormalisedTolerance) << i;
}

TEST(HOG, BorderPixelsUseOneSidedDifferences) {
  // Ramps of 10 per pixel: interior differences span two pixels (20), border
  // differences one (10).
  const int w = 20, h = 12;
  cv::Mat horizontal(h, w, CV_8UC3), vertical(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      horizontal.at<cv::Vec3b>(y, x) = cv::Vec3b::all(static_cast<uint8_t>(10 * x));
      vertical.at<cv::Vec3b>(y, x) = cv::Vec3b::all(static_cast<uint8_t>(10 * y));
    }
  }
  HOG hog = Configured(true, false);
  hog.AddNewImage(horizontal);
  // Magnitude of one pixel of row 0 in bin 0 (brighter to the right).
  auto pixel = [&](int bin, int x, int y) {
    return (hog.OrientationIntegral(bin, y + 1, x + 1) - hog.OrientationIntegral(bin, y + 1, x)) -
           (hog.OrientationIntegral(bin, y, x + 1) - hog.OrientationIntegral(bin, y, x));
  };
  EXPECT_EQ(pixel(0, 0, 0), 10.0f);
  EXPECT_EQ(pixel(0, 1, 0), 20.0f);
  EXPECT_EQ(pixel(0, w - 2, 5), 20.0f);
  EXPECT_EQ(pixel(0, w - 1, 5), 10.0f);
  hog.ReleaseImage();

  // Brighter downwards: the upward difference is negative, angle -pi/2
  // folds to pi/2, bin 4.
  hog.AddNewImage(vertical);
  EXPECT_EQ(pixel(4, 3, 0), 10.0f);
  EXPECT_EQ(pixel(4, 3, 1), 20.0f);
  EXPECT_EQ(pixel(4, 3, h - 1), 10.0f);
  EXPECT_EQ(pixel(0, 3, h - 1), 0.0f);
}

TEST(HOG, NormalisedHistogramSquaresSumToJustUnderOne) {
  const cv::Mat image = RandomImage(64, 48, 11);
  HOG hog = Configured(true, false);
  hog.AddNewImage(image);
  for (int y = 0; y + 16 <= 48; y += 4) {
    for (int x = 0; x + 16 <= 64; x += 4) {
      const std::vector<float> f = Extract(hog, Rect(x, y, 16, 16));
      double squares = 0.0;
      for (float v : f) squares += static_cast<double>(v) * v;
      EXPECT_LE(squares, 1.0);
      EXPECT_GT(squares, 1.0 - 1e-6);
    }
  }
}

TEST(HOG, ColourFrequencyAloneWritesThreeFractionsFirst) {
  const cv::Mat image = TexturedImage(30, 30, 5);
  HOG hog = Configured(false, true);
  hog.AddNewImage(image);
  const BlockRect rect = Rect(4, 6, 13, 9);
  const std::vector<float> f = Extract(hog, rect);
  const std::vector<double> want = ReferenceFeatures(image, rect, false, true);
  ASSERT_EQ(f.size(), 3u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(f[k], static_cast<float>(want[k]));
  EXPECT_FLOAT_EQ(f[0] + f[1] + f[2], 1.0f);
}

TEST(HOG, TinyImagesAndBordersStayInsideTheImage) {
  // Along a dimension of size 1 the gradient is 0; run under the sanitizer
  // build this also shows that nothing outside the pixels is read.
  HOG hog = Configured(true, true);
  hog.AddNewImage(cv::Mat(1, 1, CV_8UC3, cv::Scalar(10, 200, 30)));
  std::vector<float> f = Extract(hog, Rect(0, 0, 1, 1));
  for (int i = 0; i < 36; ++i) EXPECT_EQ(f[i], 0.0f);
  EXPECT_EQ(f[38], 1.0f);
  hog.ReleaseImage();

  const cv::Mat image = RandomImage(17, 13, 8);
  hog.AddNewImage(image);
  for (const BlockRect& rect : {Rect(0, 0, 17, 13), Rect(16, 12, 1, 1), Rect(9, 5, 8, 8),
                                Rect(0, 12, 17, 1), Rect(16, 0, 1, 13)}) {
    const std::vector<float> got = Extract(hog, rect);
    const std::vector<double> want = ReferenceFeatures(image, rect, true, true);
    for (int i = 0; i < 36; ++i) EXPECT_NEAR(got[i], want[i], kNormalisedTolerance);
    for (int i = 36; i < 39; ++i) EXPECT_EQ(got[i], static_cast<float>(want[i]));
  }
}

// Blocks normalised together: sizes mixed (widths of one pixel among them),
// blocks over a flat patch whose histogram stays empty, counts that leave a
// partial group of eight, each feature group alone and both: each block as
// ExtractFeatures gives it, bit for bit, and nothing written past its end.
TEST(HOG, BatchOfBlocksMatchesSingleBlocksBitForBit) {
  cv::Mat image = TexturedImage(80, 60, 41);
  image(cv::Rect(50, 30, 30, 30)).setTo(cv::Scalar(40, 90, 200));
  std::mt19937 rng(42);
  std::vector<BlockRect> rects;
  for (int i = 0; i < 27; ++i) {
    const int width = 1 + static_cast<int>(rng() % 24);
    const int height = 1 + static_cast<int>(rng() % 24);
    rects.push_back(Rect(static_cast<int>(rng() % (80 - width + 1)),
                         static_cast<int>(rng() % (60 - height + 1)), width, height));
  }
  rects.push_back(Rect(55, 35, 16, 16));  // inside the flat patch
  for (const auto& [useHog, useColour] : {std::pair{true, true}, {true, false}, {false, true}}) {
    HOG hog = Configured(useHog, useColour);
    hog.AddNewImage(image);
    const size_t length = static_cast<size_t>(hog.GetNumberOfFeatures());
    for (size_t count : {size_t{1}, size_t{8}, rects.size()}) {
      std::vector<float> values(count * (length + 1), -7.0f);
      std::vector<float*> out;
      for (size_t i = 0; i < count; ++i) out.push_back(values.data() + i * (length + 1));
      hog.ExtractFeaturesBatch(rects.data(), static_cast<int>(count), out.data());
      for (size_t i = 0; i < count; ++i) {
        const std::vector<float> expected = Extract(hog, rects[i]);
        for (size_t k = 0; k < length; ++k) {
          ASSERT_EQ(Bits(out[i][k]), Bits(expected[k])) << "block " << i << " value " << k;
        }
        ASSERT_EQ(out[i][length], -7.0f) << "block " << i << " wrote past its features";
      }
    }
  }
}

// A caller's mistake ends the run with a report naming the function and the
// values, in release builds too, never with an abort.
TEST(HOG, ViolatedPreconditionsAreReportsNotAborts) {
  auto report = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.status(), -1);
      return failure.text();
    }
    ADD_FAILURE() << "no failure";
    return std::string();
  };
  HOG hog = Configured(true, true);
  std::vector<float> out(39);
  EXPECT_EQ(report([&] { hog.ExtractFeatures(Rect(0, 0, 8, 8), out.data()); }),
            ".\\HOG.cpp(HOG::ExtractFeatures.349): \n  precondition violated: no image has been "
            "added\n");
  EXPECT_EQ(report([&] { hog.AddNewImage(cv::Mat(8, 8, CV_8UC1, cv::Scalar(3))); }),
            ".\\HOG.cpp(HOG::AddNewImage.168): \n  precondition violated: image of type 0, not "
            "8-bit with 3 channels\n");
  EXPECT_EQ(report([] { HOG::OrientationBin(256, -3); }),
            ".\\HOG.cpp(HOG::OrientationBin.134): \n  precondition violated: gradient (256, -3) "
            "outside -255..255\n");
}

// Streaming keeps a ring of integral rows; every read must still give the
// bits of the whole-image integrals, in scan order (each row built once), out
// of order (the rows are rebuilt from the top) and for a block taller than
// the ring (every row is held from then on).
TEST(HOG, StreamedRowsGiveTheWholeImageFeaturesBitForBit) {
  const cv::Mat image = TexturedImage(90, 70, 43);
  constexpr int kWindowH = 20;
  std::vector<BlockRect> scan;
  for (int y = 0; y + kWindowH <= 70; y += 3) {
    for (int x = 0; x + 16 <= 90; x += 5) {
      scan.push_back(Rect(x, y + 4, 16, 16));
      scan.push_back(Rect(x + 2, y, 8, kWindowH));
      scan.push_back(Rect(x, y + 10, 8, 8));
    }
  }
  std::vector<BlockRect> unordered = {Rect(3, 50, 16, 16), Rect(0, 0, 9, 9), Rect(70, 40, 20, 20),
                                      Rect(10, 2, 12, 7)};
  const BlockRect tall = Rect(5, 1, 16, 66);
  for (const auto& [useHog, useColour] : {std::pair{true, true}, {true, false}, {false, true}}) {
    HOG whole = Configured(useHog, useColour);
    whole.AddNewImage(image);
    HOG streamed = Configured(useHog, useColour);
    streamed.SetStreamRows(kWindowH);
    streamed.AddNewImage(image);
    EXPECT_LT(streamed.ImageBytes(90, 70), whole.ImageBytes(90, 70));
    std::vector<BlockRect> reads = scan;
    reads.insert(reads.end(), unordered.begin(), unordered.end());
    reads.push_back(tall);
    reads.insert(reads.end(), scan.begin(), scan.begin() + 20);
    for (size_t i = 0; i < reads.size(); ++i) {
      const std::vector<float> expected = Extract(whole, reads[i]);
      const std::vector<float> got = Extract(streamed, reads[i]);
      for (size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(Bits(got[k]), Bits(expected[k])) << "read " << i << " value " << k;
      }
    }
    // Batches take the same rows as the blocks one by one.
    HOG batched = Configured(useHog, useColour);
    batched.SetStreamRows(kWindowH);
    batched.AddNewImage(image);
    const size_t length = static_cast<size_t>(batched.GetNumberOfFeatures());
    std::vector<float> values(scan.size() * length);
    std::vector<float*> out;
    for (size_t i = 0; i < scan.size(); ++i) out.push_back(values.data() + i * length);
    for (size_t start = 0; start < scan.size(); start += 3) {
      batched.ExtractFeaturesBatch(&scan[start], 3, &out[start]);
    }
    for (size_t i = 0; i < scan.size(); ++i) {
      const std::vector<float> expected = Extract(whole, scan[i]);
      for (size_t k = 0; k < length; ++k) {
        ASSERT_EQ(Bits(out[i][k]), Bits(expected[k])) << "batch block " << i << " value " << k;
      }
    }
  }
}

}  // namespace
}  // namespace pedscan
