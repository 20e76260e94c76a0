// Writes an image resized to a given size, bicubic: the large frames of the
// memory benchmark are made from the bundled example.
//
//   scaled_frame IN OUT WIDTH HEIGHT
#include <cstdio>
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: scaled_frame IN OUT WIDTH HEIGHT\n");
    return 1;
  }
  cv::Mat in = cv::imread(argv[1], cv::IMREAD_COLOR);
  const int width = std::atoi(argv[3]);
  const int height = std::atoi(argv[4]);
  if (in.empty() || width < 1 || height < 1) {
    std::fprintf(stderr, "scaled_frame: cannot read '%s' or bad size %dx%d\n", argv[1], width, height);
    return 1;
  }
  cv::Mat out;
  cv::resize(in, out, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  return cv::imwrite(argv[2], out) ? 0 : 1;
}
