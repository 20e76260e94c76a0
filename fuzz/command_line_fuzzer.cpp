// Feeds arbitrary command lines to the command-line record: the input is cut
// at line feeds into the words that follow the program name. Parsing, the
// consistency checks and the classification of the input must end either
// with a consistent record or with a Failure.
//
// The parser never ends the process here: InputParameters turns off the
// parser library's own exception handling, so a parse error, --help and
// --version come back as exceptions and leave ParseCommandLine as a Failure
// (status 1 or 0), exactly as main sees them.
//
// The words run in a sandbox directory holding a few real inputs: an image,
// a three-frame video, a broken image, a text file and a directory of
// images. A word with '/' or ':' is not tried, so that no input names a file
// outside the sandbox, a device, or a stream the video library would open.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "app/input_parameters.h"
#include "support/failure.h"

namespace {

constexpr size_t kMaxWords = 48;

std::string& SandboxPath() {
  static std::string path;
  return path;
}

void MakeSandbox() {
  std::string pattern = "/tmp/pedscan-command-line-fuzzer-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) std::abort();
  SandboxPath() = pattern;
  cv::Mat image(96, 128, CV_8UC3, cv::Scalar(30, 60, 90));
  cv::imwrite("image.png", image);
  std::filesystem::create_directory("images");
  cv::imwrite("images/a.png", image);
  cv::imwrite("images/b.jpg", image);
  cv::VideoWriter writer("clip.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                         cv::Size(64, 48));
  for (int i = 0; i < 3; ++i) writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(60 * i)));
  writer.release();
  std::ofstream("broken.png", std::ios::binary) << "\x89PNG\r\n\x1a\n truncated";
  std::ofstream("notes.txt") << "not an image\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  MakeSandbox();
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(SandboxPath(), ignored);
  });
  // --help and --version print the usage on stdout; libFuzzer reports on
  // stderr.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"pedscan"};
  std::string word;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\n') {
      if (word.find_first_of("/:") != std::string::npos || word.find('\0') != std::string::npos) {
        return 0;
      }
      words.push_back(word);
      word.clear();
      if (words.size() > kMaxWords) return 0;
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());

  pedscan::InputParameters parameters;
  try {
    parameters.ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  } catch (const pedscan::Failure&) {
  }
  return 0;
}
