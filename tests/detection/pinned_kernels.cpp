// Pins the kernel path of a test copy of pedscan before main runs. A path
// the machine cannot run leaves the best one; its tests are skipped anyway.
#include "support/cpu.h"

namespace {

__attribute__((constructor)) void PinKernels() {
  pedscan::cpu::Path path;
  if (pedscan::cpu::PathOfName(PEDSCAN_PINNED_PATH, &path)) {
    pedscan::cpu::PinPathForTesting(path);
  }
}

}  // namespace
