// Memory known before work starts: the room a process has, and a frame too
// large for it refused before any of it is scanned.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "../support/run_command.h"
#include "support/memory.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::kReservesAddressSpace;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

TEST(AvailableMemory, AnAddressSpaceLimitBoundsTheRoom) {
  if (kReservesAddressSpace) GTEST_SKIP() << "the sanitizer reserves the address space";
  const int64_t unlimited = AvailableMemoryBytes();
  EXPECT_GT(unlimited, 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  // Room for 256 MB more than the process maps now.
  const int64_t before = AvailableMemoryBytes();
  rlimit lowered = saved;
  std::string status = testutil::ReadWholeFile("/proc/self/status");
  const size_t at = status.find("VmSize:");
  ASSERT_NE(at, std::string::npos);
  const int64_t mapped = std::stoll(status.substr(at + 7)) * 1024;
  lowered.rlim_cur = static_cast<rlim_t>(mapped + (int64_t{256} << 20));
  ASSERT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
  const int64_t limited = AvailableMemoryBytes();
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
  EXPECT_LE(limited, int64_t{256} << 20);
  EXPECT_GT(limited, int64_t{200} << 20);
  EXPECT_LE(limited, before);
}

TEST(LargeFrame, AFrameThatCannotFitIsRefusedBeforeAnyWork) {
  if (kReservesAddressSpace) GTEST_SKIP() << "the sanitizer reserves the address space";
  TempDir dir;
  // 12000 x 12000 decodes to 432 MB; scanning its largest level with the
  // bundled cascade needs more than twice the room left under 1.5 GB.
  const std::string frame = dir.File("huge.jpg");
  ASSERT_TRUE(cv::imwrite(frame, cv::Mat(12000, 12000, CV_8UC3, cv::Scalar(90, 120, 150))));
  const std::string out = dir.MakeDir("out");
  const std::string source = PEDSCAN_SOURCE_DIR;
  CommandResult result =
      RunCommand("cd " + ShellQuote(source) + " && ulimit -v 1500000 && " +
                 ShellQuote(PEDSCAN_BINARY) + " -d -c data/detect.txt -i " + ShellQuote(frame) +
                 " -o " + ShellQuote(out) + " -s -b");
  EXPECT_EQ(result.status, 255) << result.out << result.err;
  EXPECT_NE(result.out.find(".\\detection.cpp(Detection::ProcessNextFrame.120): \n  frame 'huge' "
                            "(12000x12000) needs about "),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(" available\n"), std::string::npos) << result.out;
  // Refused before the first level: nothing scanned, nothing written.
  EXPECT_EQ(result.out.find("scale 1/"), std::string::npos) << result.out;
  EXPECT_TRUE(std::filesystem::is_empty(out));
}

}  // namespace
}  // namespace pedscan
