// Runs a call that must end the run with a Failure and checks what the user
// would see: the exact text and the exit status.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/failure.h"

namespace pedscan {

template <typename Call>
void ExpectFailure(Call call, const std::string& text, int status) {
  try {
    call();
    ADD_FAILURE() << "no failure; expected: " << text;
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.text(), text);
    EXPECT_EQ(failure.status(), status);
  }
}

}  // namespace pedscan
