#include "features/co_occurrence.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "block_rect.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using Features = std::array<float, Cooccurrence::kFeatures>;

// Most statistics stay within 1e-5 of the double-precision values; the
// correlation subtracts mu^2 (up to ~60) from a sum of about the same size,
// so its single-precision error reaches a few 1e-5. 1e-4 (relative above 1)
// covers that and still catches a wrong index or formula, which moves a
// statistic by far more.
constexpr double kTolerance = 1e-4;

template <typename Method>
std::unique_ptr<Cooccurrence> Configured(int bins, int distance = 1) {
  auto method = std::make_unique<Method>();
  method->SetParameters({{"bins", std::to_string(bins)}, {"distance", std::to_string(distance)}});
  method->Initialize();
  return method;
}

cv::Mat RandomImage(int rows, int cols, uint64_t seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// Smooth ramps with a little noise: sparse matrices with mass near the diagonal.
cv::Mat SmoothImage(int rows, int cols, uint64_t seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        const int v = (x * (ch + 1) * 3 + y * 2 + rng.uniform(0, 12)) % 256;
        image.at<cv::Vec3b>(y, x)[ch] = static_cast<uint8_t>(v);
      }
    }
  }
  return image;
}

Features Extract(Cooccurrence& method, const BlockRect& rect) {
  Features out;
  out.fill(-12345.0f);
  method.ExtractFeatures(rect, out.data());
  return out;
}

void ExpectFailure(const std::function<void()>& call, const std::string& text, int status) {
  try {
    call();
    ADD_FAILURE() << "no failure, expected: " << text;
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.text(), text);
    EXPECT_EQ(failure.status(), status);
  }
}

// ---------------------------------------------------------------------------
// A plain single-precision implementation that follows the definition step by
// step: float cells incremented by one per pair, dense sums, the difference
// index lists, the four-lane dot product written out. The extractor must give
// the same bits.

float FourLaneDot(const float* a, const float* b, int n) {
  float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int whole = n - n % 4;
  for (int i = 0; i < whole; ++i) lane[i % 4] += a[i] * b[i];
  for (int i = whole; i < n; ++i) lane[0] += a[i] * b[i];
  return ((lane[1] + lane[0]) + lane[2]) + lane[3];
}

std::vector<float> PlainTable(int pairs) {
  const int divisor = pairs == 450 ? 451 : pairs == 480 ? 481 : pairs == 1922 ? 1923
                    : pairs == 1984 ? 1985 : pairs;
  std::vector<float> table(pairs + 1, 0.0f);
  for (int c = 1; c <= pairs; ++c) {
    table[c] = log10f(static_cast<float>(c) / static_cast<float>(divisor) + 1e-6f);
  }
  return table;
}

// Offsets (dy, dx) of the partner pixel per direction.
constexpr int kPartner[4][2] = {{0, 1}, {1, -1}, {1, 0}, {1, 1}};

Features PlainFeatures(const cv::Mat& levels, const BlockRect& rect, int d) {
  float M[4][256] = {};
  float N[4] = {};
  for (int y = rect.y0; y <= rect.y1; ++y) {
    for (int x = rect.x0; x <= rect.x1; ++x) {
      for (int dir = 0; dir < 4; ++dir) {
        const int py = y + kPartner[dir][0] * d;
        const int px = x + kPartner[dir][1] * d;
        if (py > rect.y1 || px > rect.x1 || px < rect.x0) continue;
        const int u = levels.at<uint8_t>(y, x);
        const int w = levels.at<uint8_t>(py, px);
        M[dir][u + 16 * w] += 1.0f;
        M[dir][w + 16 * u] += 1.0f;
        N[dir] += 2.0f;
      }
    }
  }
  float rc[256], row[256], inv[256], index[33], squares[16];
  std::vector<int> lists[16];
  for (int i = 0; i < 256; ++i) {
    const int r = i % 16, c = i / 16;
    rc[i] = static_cast<float>(r * c);
    row[i] = static_cast<float>(r);
    inv[i] = 1.0f / static_cast<float>((r - c) * (r - c) + 1);
    lists[std::abs(r - c)].push_back(i);
  }
  for (int i = 0; i < 33; ++i) index[i] = static_cast<float>(i);
  for (int k = 0; k < 16; ++k) squares[k] = static_cast<float>(k * k);

  Features out;
  for (int dir = 0; dir < 4; ++dir) {
    float* P = M[dir];
    for (int i = 0; i < 256; ++i) P[i] /= N[dir];
    struct Item { int first, second; float p; };
    std::vector<Item> entries;
    for (int c = 0; c < 16; ++c)
      for (int r = 0; r < 16; ++r)
        if (P[r + 16 * c] != 0.0f) entries.push_back({c, r, P[r + 16 * c]});

    float f0 = 0.0f;
    for (const Item& e : entries) f0 += e.p * e.p;

    float T[16];
    for (int k = 0; k < 16; ++k) {
      T[k] = 0.0f;
      for (int cell : lists[k]) T[k] += P[cell];
    }
    const float f1 = FourLaneDot(squares, T, 16);

    float m[16] = {};
    for (const Item& e : entries) m[e.first] += e.p;
    const float mu = FourLaneDot(index, m, 16);
    const float sigma = std::sqrt(FourLaneDot(squares, m, 16) - mu * mu);
    const float e2 = FourLaneDot(rc, P, 256);
    const float f2 = (e2 - mu * mu) / ((sigma + 0.0001f) * (sigma + 0.0001f));

    const float muRow = FourLaneDot(row, P, 256);
    float f3 = 0.0f;
    for (const Item& e : entries) {
      const float dev = static_cast<float>(e.second + 1) - muRow;
      f3 += dev * dev * e.p;
    }
    const float f4 = FourLaneDot(P, inv, 256);

    float Hs[34] = {};
    float Hd[16] = {};
    for (int c = 0; c < 16; ++c) {
      for (int r = 0; r < 16; ++r) {
        Hs[r + c + 2] += P[r + 16 * c];
        Hd[std::abs(r - c)] += P[r + 16 * c];
      }
    }
    const float f5 = FourLaneDot(index, Hs, 33);
    float sq[33];
    for (int i = 0; i < 33; ++i) sq[i] = (static_cast<float>(i) - f5) * (static_cast<float>(i) - f5);
    const float f6 = FourLaneDot(sq, Hs, 33);
    float f7 = 0.0f;
    for (int i = 2; i <= 32; ++i)
      if (Hs[i] != 0.0f) f7 -= Hs[i] * log10f(Hs[i] + 0.00001f);

    const int pairs = static_cast<int>(N[dir]);
    const std::vector<float> table = PlainTable(pairs);
    float f8 = 0.0f;
    for (const Item& e : entries) f8 -= table[static_cast<int>(static_cast<double>(e.p) * pairs)] * e.p;

    float s1 = 0.0f;
    for (int k = 0; k < 16; ++k) s1 += Hd[k];
    const float s2 = FourLaneDot(Hd, Hd, 16);
    const float f9 = (256.0f * s2 - s1 * s1) / 65536.0f;
    float f10 = 0.0f;
    for (int k = 0; k < 16; ++k)
      if (Hd[k] != 0.0f) f10 -= Hd[k] * log10f(Hd[k] + 0.00001f);
    float f11 = 0.0f;
    for (int r = 0; r < 16; ++r) f11 += P[r + 16 * r];

    const float values[12] = {f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11};
    std::memcpy(out.data() + 12 * dir, values, sizeof(values));
  }
  return out;
}

// ---------------------------------------------------------------------------
// The same statistics in double precision from directly counted pairs. Only
// the entropy's table index follows the single-precision probability, since
// which entry is read is part of the definition.

std::array<double, 48> DoubleFeatures(const cv::Mat& levels, const BlockRect& rect, int d) {
  std::array<double, 48> out{};
  for (int dir = 0; dir < 4; ++dir) {
    long count[16][16] = {};  // count[r][c]
    long N = 0;
    for (int y = rect.y0; y <= rect.y1; ++y) {
      for (int x = rect.x0; x <= rect.x1; ++x) {
        const int py = y + kPartner[dir][0] * d;
        const int px = x + kPartner[dir][1] * d;
        if (py > rect.y1 || px > rect.x1 || px < rect.x0) continue;
        const int u = levels.at<uint8_t>(y, x);
        const int w = levels.at<uint8_t>(py, px);
        ++count[u][w];
        ++count[w][u];
        N += 2;
      }
    }
    double P[16][16];
    for (int r = 0; r < 16; ++r)
      for (int c = 0; c < 16; ++c) P[r][c] = static_cast<double>(count[r][c]) / N;

    double asm2 = 0, contrast = 0, mu = 0, second = 0, e = 0, muRow = 0, idm = 0, diag = 0;
    double m[16] = {}, Hs[34] = {}, Hd[16] = {};
    for (int r = 0; r < 16; ++r) {
      for (int c = 0; c < 16; ++c) {
        const double p = P[r][c];
        asm2 += p * p;
        contrast += (r - c) * (r - c) * p;
        m[c] += p;
        e += r * c * p;
        muRow += r * p;
        idm += p / (1.0 + (r - c) * (r - c));
        Hs[r + c + 2] += p;
        Hd[std::abs(r - c)] += p;
      }
      diag += P[r][r];
    }
    for (int k = 0; k < 16; ++k) {
      mu += k * m[k];
      second += k * k * m[k];
    }
    const double sigma = std::sqrt(std::max(second - mu * mu, 0.0));
    const double correlation = (e - mu * mu) / ((sigma + 0.0001) * (sigma + 0.0001));
    double sumOfSquares = 0, entropy = 0;
    const double divisor = N == 450 ? 451 : N == 480 ? 481 : N == 1922 ? 1923 : N == 1984 ? 1985 : N;
    for (int r = 0; r < 16; ++r) {
      for (int c = 0; c < 16; ++c) {
        if (count[r][c] == 0) continue;
        const double p = P[r][c];
        sumOfSquares += (r + 1 - muRow) * (r + 1 - muRow) * p;
        const float pf = static_cast<float>(count[r][c]) / static_cast<float>(N);
        const long cell = static_cast<long>(static_cast<double>(pf) * N);
        entropy -= (cell == 0 ? 0.0 : std::log10(cell / divisor + 1e-6)) * p;
      }
    }
    double sumAverage = 0, sumVariance = 0, sumEntropy = 0;
    for (int i = 0; i <= 32; ++i) sumAverage += i * Hs[i];
    for (int i = 0; i <= 32; ++i) sumVariance += (i - sumAverage) * (i - sumAverage) * Hs[i];
    for (int i = 2; i <= 32; ++i)
      if (Hs[i] != 0) sumEntropy -= Hs[i] * std::log10(Hs[i] + 0.00001);
    double s1 = 0, s2 = 0, differenceEntropy = 0;
    for (int k = 0; k < 16; ++k) {
      s1 += Hd[k];
      s2 += Hd[k] * Hd[k];
      if (Hd[k] != 0) differenceEntropy -= Hd[k] * std::log10(Hd[k] + 0.00001);
    }
    const double values[12] = {asm2,       contrast,    correlation, sumOfSquares,
                               idm,        sumAverage,  sumVariance, sumEntropy,
                               entropy,    (256 * s2 - s1 * s1) / 65536, differenceEntropy, diag};
    for (int s = 0; s < 12; ++s) out[12 * dir + s] = values[s];
  }
  return out;
}

void ExpectSameBits(const Features& actual, const Features& expected, const std::string& where) {
  for (int i = 0; i < Cooccurrence::kFeatures; ++i) {
    uint32_t a, b;
    std::memcpy(&a, &actual[i], 4);
    std::memcpy(&b, &expected[i], 4);
    EXPECT_EQ(a, b) << where << " feature " << i << ": " << actual[i] << " vs " << expected[i];
  }
}

// ---------------------------------------------------------------------------

TEST(Cooccurrence, StatisticsAgreeWithDoublePrecisionReferenceOnRandomImages) {
  const cv::Mat images[] = {RandomImage(70, 90, 1), SmoothImage(70, 90, 2)};
  for (const cv::Mat& image : images) {
    std::unique_ptr<Cooccurrence> methods[] = {Configured<CoocH>(16), Configured<CoocS>(20),
                                               Configured<CoocV>(16)};
    for (auto& method : methods) {
      method->AddNewImage(image);
      for (int size : {8, 16, 32}) {
        for (int trial = 0; trial < 6; ++trial) {
          const BlockRect rect = Rect(trial * 7, trial * 5, size, size);
          const Features actual = Extract(*method, rect);
          const std::array<double, 48> expected = DoubleFeatures(method->levels(), rect, 1);
          for (int i = 0; i < 48; ++i) {
            EXPECT_NEAR(actual[i], expected[i], kTolerance * std::max(1.0, std::fabs(expected[i])))
                << method->GetName() << " size " << size << " trial " << trial << " feature " << i;
          }
        }
      }
    }
  }
}

TEST(Cooccurrence, FastPathMatchesPlainImplementationBitForBit) {
  const cv::Mat images[] = {RandomImage(64, 80, 3), SmoothImage(64, 80, 4),
                            cv::Mat(64, 80, CV_8UC3, cv::Scalar(10, 200, 90))};
  cv::RNG rng(5);
  for (const cv::Mat& image : images) {
    std::unique_ptr<Cooccurrence> methods[] = {Configured<CoocH>(16), Configured<CoocS>(16),
                                               Configured<CoocV>(32)};
    for (auto& method : methods) {
      method->AddNewImage(image);
      for (int trial = 0; trial < 30; ++trial) {
        const int size = 8 << rng.uniform(0, 3);
        const BlockRect rect =
            Rect(rng.uniform(0, 80 - size + 1), rng.uniform(0, 64 - size + 1), size, size);
        ExpectSameBits(Extract(*method, rect), PlainFeatures(method->levels(), rect, 1),
                       method->GetName() + " trial " + std::to_string(trial));
      }
    }
  }
}

// Rows of blocks with every kind of step between neighbours (one column,
// a few, beyond sliding, none), blocks crossing each border between the
// batches of inside blocks evaluated together, rows whose length is no
// multiple of a batch, sizes 8, 16 and 32 and images dense and sparse: each
// block as ExtractFeatures gives it.
TEST(Cooccurrence, RowOfBlocksMatchesSingleBlocksBitForBit) {
  const cv::Mat images[] = {RandomImage(70, 90, 21), SmoothImage(70, 90, 22)};
  for (const cv::Mat& image : images) {
    for (int band = 0; band < 3; ++band) {
      std::unique_ptr<Cooccurrence> method = band == 0   ? Configured<CoocH>(16)
                                             : band == 1 ? Configured<CoocS>(16)
                                                         : Configured<CoocV>(16);
      method->AddNewImage(image);
      for (int size : {8, 16, 32}) {
        for (int y0 : {-16, -2, 0, 5, image.rows - size, image.rows - size + 3}) {
          // Blocks clipped to a size without a table fail alone; the row
          // holds the ones that succeed (a block clipped to 16 x 16 at a
          // corner among them), with their single results to compare with.
          std::vector<int> xs;
          std::vector<Features> expected;
          for (int x = -16; x < image.cols; x += 1 + ((x + 16) * 7 + size) % 9) {
            try {
              expected.push_back(Extract(*method, Rect(x, y0, size, size)));
              xs.push_back(x);
            } catch (const Failure&) {
            }
          }
          std::vector<float> row(xs.size() * Cooccurrence::kFeatures);
          method->ExtractFeaturesRow(y0, y0 + size - 1, size, xs.data(),
                                     static_cast<int>(xs.size()), row.data());
          for (size_t i = 0; i < xs.size(); ++i) {
            ASSERT_EQ(std::memcmp(expected[i].data(), row.data() + i * Cooccurrence::kFeatures,
                                  sizeof(Features)),
                      0)
                << "size " << size << " at " << xs[i] << ", " << y0;
          }
        }
      }
    }
  }
}

// A window's blocks in one call: sizes 8, 16 and 32 mixed, blocks crossing
// the border among them, more than one batch of each size: each block as
// ExtractFeatures gives it.
TEST(Cooccurrence, BatchOfBlocksMatchesSingleBlocksBitForBit) {
  const cv::Mat images[] = {RandomImage(70, 90, 31), SmoothImage(70, 90, 32)};
  for (const cv::Mat& image : images) {
    auto method = Configured<CoocH>(16);
    method->AddNewImage(image);
    cv::RNG rng(33);
    std::vector<BlockRect> rects;
    std::vector<Features> expected;
    while (rects.size() < 40) {
      const int size = 8 << rng.uniform(0, 3);
      const BlockRect rect = Rect(rng.uniform(-8, 90 - size + 8), rng.uniform(-8, 70 - size + 8),
                                   size, size);
      try {
        expected.push_back(Extract(*method, rect));
        rects.push_back(rect);
      } catch (const Failure&) {
      }
    }
    std::vector<Features> got(rects.size());
    std::vector<float*> out;
    for (Features& f : got) out.push_back(f.data());
    method->ExtractFeaturesBatch(rects.data(), static_cast<int>(rects.size()), out.data());
    for (size_t i = 0; i < rects.size(); ++i) {
      ExpectSameBits(got[i], expected[i], "block " + std::to_string(i));
    }
  }
}

TEST(Cooccurrence, RowOfBlocksFailsLikeItsFirstFailingBlock) {
  auto method = Configured<CoocV>(16);
  method->AddNewImage(RandomImage(40, 40, 23));
  const int xs[] = {0, 1, 2};
  std::vector<float> out(3 * Cooccurrence::kFeatures);
  ExpectFailure([&] { method->ExtractFeaturesRow(0, 9, 10, xs, 3, out.data()); },
                "Error, need to define log table to size 180\n", 2);
}

TEST(Cooccurrence, UniformBlockHasUnitEnergyAndZeroContrast) {
  auto method = Configured<CoocV>(16);
  method->AddNewImage(cv::Mat(20, 20, CV_8UC3, cv::Scalar(90, 40, 130)));
  const Features f = Extract(*method, Rect(2, 3, 16, 16));
  // Read through a volatile so that the compiler does not fold the
  // logarithm at build time: the table holds the run-time library's values.
  volatile int pairs[4] = {480, 450, 480, 450};
  for (int dir = 0; dir < 4; ++dir) {
    const float* s = f.data() + 12 * dir;
    EXPECT_EQ(s[0], 1.0f);
    EXPECT_EQ(s[1], 0.0f);
    EXPECT_EQ(s[4], 1.0f);
    EXPECT_EQ(s[11], 1.0f);
    // Entry N of the table with N + 1 entries.
    const float expected = -log10f(static_cast<float>(pairs[dir]) /
                                   static_cast<float>(pairs[dir] + 1) + 1e-6f);
    EXPECT_EQ(s[8], expected) << "direction " << dir;
  }
}

TEST(Cooccurrence, BlackBlockHasAllSumMassAtTwo) {
  auto method = Configured<CoocV>(16);
  method->AddNewImage(cv::Mat(16, 16, CV_8UC3, cv::Scalar(0, 0, 0)));
  const Features f = Extract(*method, Rect(0, 0, 16, 16));
  for (int dir = 0; dir < 4; ++dir) {
    EXPECT_EQ(f[12 * dir + 5], 2.0f);
    EXPECT_EQ(f[12 * dir + 6], 0.0f);
  }
}

TEST(Cooccurrence, HueKeepsItsTestSequence) {
  EXPECT_EQ(Cooccurrence::Hue(255, 0, 0), 0);
  EXPECT_EQ(Cooccurrence::Hue(0, 255, 0), 127);  // green largest, still k = 4
  EXPECT_EQ(Cooccurrence::Hue(0, 0, 255), 170);
  EXPECT_EQ(Cooccurrence::Hue(100, 200, 50), 141);  // (-100 / 150 + 4) / 6 * 255
  EXPECT_EQ(Cooccurrence::Hue(0, 200, 200), 127);   // G = B: (200 / 200 + 2) / 6 * 255
  EXPECT_EQ(Cooccurrence::Hue(255, 0, 128), 234);   // negative hue wraps by 255
  EXPECT_EQ(Cooccurrence::Hue(7, 7, 7), 0);
  EXPECT_EQ(Cooccurrence::Saturation(200, 50, 100), 191);  // 150 / 200 * 255 = 191.25
  EXPECT_EQ(Cooccurrence::Saturation(0, 0, 0), 0);
  EXPECT_EQ(Cooccurrence::Value(3, 250, 9), 250);

  // Through the image: blue-green-red channel order, levels floor(v / bins).
  cv::Mat image(1, 3, CV_8UC3);
  image.at<cv::Vec3b>(0, 0) = {0, 0, 255};
  image.at<cv::Vec3b>(0, 1) = {0, 255, 0};
  image.at<cv::Vec3b>(0, 2) = {255, 0, 0};
  auto hue = Configured<CoocH>(17);
  hue->AddNewImage(image);
  EXPECT_EQ(hue->levels().at<uint8_t>(0, 0), 0);
  EXPECT_EQ(hue->levels().at<uint8_t>(0, 1), 7);   // 127 / 17
  EXPECT_EQ(hue->levels().at<uint8_t>(0, 2), 10);  // 170 / 17
}

// The band values as the definition states them, branch by branch.
int PlainHue(int r, int g, int b) {
  const int mx = std::max(r, std::max(g, b));
  const int mn = std::min(r, std::min(g, b));
  if (mx == mn) return 0;
  int f, k;
  if (r == mx) {
    f = g - b;
    k = 0;
  } else if (g == b) {
    f = b - r;
    k = 2;
  } else {
    f = r - g;
    k = 4;
  }
  int h = static_cast<int>((static_cast<float>(f) / static_cast<float>(mx - mn) + k) / 6.0f * 255.0f);
  if (h < 0) h += 255;
  return h;
}

int PlainSaturation(int r, int g, int b) {
  const int mx = std::max(r, std::max(g, b));
  const int mn = std::min(r, std::min(g, b));
  if (mx == mn) return 0;
  return static_cast<int>(static_cast<float>(mx - mn) / static_cast<float>(mx) * 255.0f);
}

TEST(Cooccurrence, EveryColourGetsTheDefinedBandLevels) {
  // All 2^24 colours, one per pixel, through the image path and one by one.
  cv::Mat image(4096, 4096, CV_8UC3);
  for (int i = 0; i < (1 << 24); ++i) {
    image.at<cv::Vec3b>(i >> 12, i & 4095) = {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16)};
  }
  auto hue = Configured<CoocH>(17);
  auto saturation = Configured<CoocS>(16);
  hue->AddNewImage(image);
  saturation->AddNewImage(image);
  int wrong = 0;
  for (int i = 0; i < (1 << 24) && wrong < 10; ++i) {
    const int b = i & 255, g = (i >> 8) & 255, r = i >> 16;
    const int h = PlainHue(r, g, b), s = PlainSaturation(r, g, b);
    const bool ok = Cooccurrence::Hue(r, g, b) == h && Cooccurrence::Saturation(r, g, b) == s &&
                    hue->levels().at<uint8_t>(i >> 12, i & 4095) == h / 17 &&
                    saturation->levels().at<uint8_t>(i >> 12, i & 4095) == s / 16;
    if (!ok) {
      ++wrong;
      ADD_FAILURE() << "colour r " << r << " g " << g << " b " << b;
    }
  }
}

TEST(Cooccurrence, BandsQuantiseEveryPixel) {
  const cv::Mat image = RandomImage(9, 11, 6);
  auto s = Configured<CoocS>(16);
  auto v = Configured<CoocV>(23);
  s->AddNewImage(image);
  v->AddNewImage(image);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      const cv::Vec3b p = image.at<cv::Vec3b>(y, x);
      EXPECT_EQ(s->levels().at<uint8_t>(y, x), Cooccurrence::Saturation(p[2], p[1], p[0]) / 16);
      EXPECT_EQ(v->levels().at<uint8_t>(y, x), Cooccurrence::Value(p[2], p[1], p[0]) / 23);
    }
  }
  v->ReleaseImage();
  EXPECT_TRUE(v->levels().empty());
}

TEST(Cooccurrence, ThirtyTwoBinsUseLevelsZeroToSeven) {
  cv::Mat image(16, 16, CV_8UC3);
  for (int i = 0; i < 256; ++i) image.at<cv::Vec3b>(i / 16, i % 16) = {uint8_t(i), 0, 0};
  auto method = Configured<CoocV>(32);
  method->AddNewImage(image);
  double lowest, highest;
  cv::minMaxLoc(method->levels(), &lowest, &highest);
  EXPECT_EQ(lowest, 0.0);
  EXPECT_EQ(highest, 7.0);
  ExpectSameBits(Extract(*method, Rect(0, 0, 16, 16)),
                 PlainFeatures(method->levels(), Rect(0, 0, 16, 16), 1), "32 bins");
}

// The batches multiply by 1 / N instead of dividing only where that gives
// every quotient k / N of the table bit for bit; it does for all six tables,
// and with fused multiply-adds the batches then match the single blocks
// (tested above) by way of the multiplication. A path without them divides.
TEST(Cooccurrence, ProbabilitiesFromTheReciprocalAreTheQuotients) {
  auto method = Configured<CoocH>(16);
  for (int pairs : {450, 480, 1922, 1984, 112, 98}) {
    EXPECT_TRUE(method->MultipliesByReciprocal(pairs)) << pairs;
    const float n = static_cast<float>(pairs);
    const float r = 1.0f / n;
    for (int k = 0; k <= pairs; ++k) {
      const float q = static_cast<float>(k) * r;
      const float corrected = std::fma(std::fma(-q, n, static_cast<float>(k)), r, q);
      if (method->MultipliesByReciprocal(pairs)) {
        ASSERT_EQ(corrected, static_cast<float>(k) / n) << k << " / " << pairs;
      }
    }
  }
  EXPECT_FALSE(method->MultipliesByReciprocal(180));
}

TEST(Cooccurrence, AnImageOfAnotherTypeIsAReportNotAnAbort) {
  auto method = Configured<CoocH>(16);
  ExpectFailure([&] { method->AddNewImage(cv::Mat(4, 4, CV_8UC1, cv::Scalar(9))); },
                ".\\co_occurrence.cpp(Cooccurrence::AddNewImage.450): \n  precondition violated: "
                "image of type 0, not 8-bit with 3 channels\n",
                -1);
}

TEST(Cooccurrence, BlockWithoutEntropyTableStops) {
  auto method = Configured<CoocV>(16);
  method->AddNewImage(RandomImage(12, 12, 7));
  ExpectFailure([&] { Extract(*method, Rect(1, 1, 10, 10)); },
                "Error, need to define log table to size 180\n", 2);
  // Distance 2 on a 16 x 16 block: 2 * 16 * 14 pairs in direction 0.
  auto far = Configured<CoocV>(16, 2);
  far->AddNewImage(RandomImage(16, 16, 8));
  ExpectFailure([&] { Extract(*far, Rect(0, 0, 16, 16)); },
                "Error, need to define log table to size 448\n", 2);
}

TEST(Cooccurrence, TinyImagesAndBorderBlocksStayInside) {
  auto method = Configured<CoocH>(16);
  method->AddNewImage(RandomImage(1, 1, 9));
  ExpectFailure([&] { Extract(*method, Rect(0, 0, 1, 1)); },
                "Error, need to define log table to size 0\n", 2);
  ExpectFailure([&] { Extract(*method, Rect(0, 0, 16, 16)); },
                "Error, need to define log table to size 0\n", 2);

  // A block reaching past the image counts only the pixels inside it: here
  // exactly the 16 x 16 square in the bottom-right corner.
  const cv::Mat image = RandomImage(24, 24, 10);
  method->AddNewImage(image);
  ExpectSameBits(Extract(*method, Rect(8, 8, 32, 32)),
                 PlainFeatures(method->levels(), Rect(8, 8, 16, 16), 1), "border");
  ExpectSameBits(Extract(*method, Rect(-8, -8, 16, 16)),
                 PlainFeatures(method->levels(), Rect(0, 0, 8, 8), 1), "top-left corner");
  // Clipped to the whole 24 x 24 image: 2 * 24 * 23 pairs, no table.
  ExpectFailure([&] { Extract(*method, Rect(-8, -8, 40, 40)); },
                "Error, need to define log table to size 1104\n", 2);
  // Entirely outside the image.
  ExpectFailure([&] { Extract(*method, Rect(30, 2, 16, 16)); },
                "Error, need to define log table to size 0\n", 2);
}

TEST(Cooccurrence, ParametersAreCheckedAfterReading) {
  const std::string invalid =
      ".\\co_occurrence.cpp(Cooccurrence::SetParameters.92): \n"
      "  Invalid parameters for co-occurrence matrix\n";
  CoocS s;
  ExpectFailure([&] { s.SetParameters({{"bins", "16"}, {"colour", "1"}, {"distance", "1"}}); },
                "Parameter 'colour' invalid for feature 'COOCS'\n", 2);
  ExpectFailure([&] { CoocV().SetParameters({{"bins", "15"}, {"distance", "1"}}); }, invalid, -1);
  ExpectFailure([&] { CoocV().SetParameters({{"bins", "16"}, {"distance", "0"}}); }, invalid, -1);
  ExpectFailure([&] { CoocV().SetParameters({{"bins", "16"}}); }, invalid, -1);
  ExpectFailure([&] { CoocV().SetParameters({{"distance", "1"}}); }, invalid, -1);

  CoocH h;
  h.SetParameters({{"bins", "16abc"}, {"cache", "1"}, {"distance", " 3"}});
  EXPECT_EQ(h.bins(), 16);
  EXPECT_EQ(h.distance(), 3);
  EXPECT_EQ(h.GetNumberOfFeatures(), 48);
}

TEST(Cooccurrence, CloneKeepsNameBandAndValues) {
  auto original = Configured<CoocS>(24, 2);
  auto copy = original->Clone();
  EXPECT_EQ(copy->GetName(), "COOCS");
  auto* cooc = dynamic_cast<Cooccurrence*>(copy.get());
  ASSERT_NE(cooc, nullptr);
  EXPECT_EQ(cooc->band(), Cooccurrence::kSaturation);
  EXPECT_EQ(cooc->bins(), 24);
  EXPECT_EQ(cooc->distance(), 2);
  EXPECT_TRUE(cooc->levels().empty());
  EXPECT_EQ(CoocH().Clone()->GetName(), "COOCH");
  EXPECT_EQ(CoocV().Clone()->GetName(), "COOCV");
  EXPECT_EQ(CoocH().bins(), -1);
  EXPECT_EQ(CoocH().distance(), -1);
}

class UnknownBand : public Cooccurrence {
 public:
  UnknownBand() : Cooccurrence(3) {}
  std::string GetName() const override { return "COOCX"; }
  std::unique_ptr<ExtractionMethod> Clone() const override { return nullptr; }
};

TEST(Cooccurrence, UnknownBandIsFatal) {
  UnknownBand method;
  method.SetParameters({{"bins", "16"}, {"distance", "1"}});
  ExpectFailure([&] { method.AddNewImage(RandomImage(4, 4, 11)); },
                ".\\co_occurrence.cpp(Cooccurrence::AddNewImage.36): \n"
                "  Invalid color band used for co-occurrence features!\n",
                -1);
}

}  // namespace
}  // namespace pedscan
