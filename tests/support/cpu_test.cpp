#include "support/cpu.h"

#include <gtest/gtest.h>

namespace pedscan {
namespace {

TEST(Cpu, PathNamesReadBack) {
  for (cpu::Path path : cpu::kAllPaths) {
    cpu::Path read = cpu::Path::kBaseline;
    ASSERT_TRUE(cpu::PathOfName(cpu::PathName(path), &read));
    EXPECT_EQ(read, path);
  }
  cpu::Path read = cpu::Path::kAvx2;
  EXPECT_FALSE(cpu::PathOfName("sse2", &read));
  EXPECT_EQ(read, cpu::Path::kAvx2);
}

TEST(Cpu, TheBestPathIsTheWidestAvailableAndTheOneTaken) {
  const cpu::Path best = cpu::BestPath();
  EXPECT_TRUE(cpu::Available(best));
  for (cpu::Path path : cpu::kAllPaths) {
    if (static_cast<int>(path) > static_cast<int>(best)) {
      EXPECT_FALSE(cpu::Available(path));
    }
  }
  EXPECT_EQ(cpu::ActivePath(), best);
  // Every processor the program starts on runs the baseline instructions.
  EXPECT_TRUE(cpu::ProcessorRuns(cpu::Path::kBaseline));
}

TEST(Cpu, APinTakesAnAvailablePathAndRefusesAnother) {
  const cpu::Path before = cpu::ActivePath();
  for (cpu::Path path : cpu::kAllPaths) {
    const cpu::Path current = cpu::ActivePath();
    if (cpu::Available(path)) {
      EXPECT_TRUE(cpu::PinPathForTesting(path));
      EXPECT_EQ(cpu::ActivePath(), path);
    } else {
      EXPECT_FALSE(cpu::PinPathForTesting(path));
      EXPECT_EQ(cpu::ActivePath(), current);
    }
  }
  EXPECT_TRUE(cpu::PinPathForTesting(before));
}

}  // namespace
}  // namespace pedscan
