#include "support/failure.h"

#include <gtest/gtest.h>

namespace pedscan {
namespace {

TEST(Failure, FatalReportCarriesSourceFunctionLineAndStatusMinusOne) {
  try {
    Fatal("input_parameters", "InputParameters::CheckParametersConsistency", 156,
          "cannot use camera input for training (must use -d parameter)");
    FAIL() << "Fatal returned";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.form(), Failure::Form::kFatal);
    EXPECT_EQ(failure.status(), -1);
    EXPECT_EQ(failure.text(),
              ".\\input_parameters.cpp(InputParameters::CheckParametersConsistency.156): \n"
              "  cannot use camera input for training (must use -d parameter)\n");
  }
}

TEST(Failure, PlainMessageIsPrintedAsGivenWithStatusTwo) {
  try {
    FailPlain("matrix must be square to invert\n");
    FAIL() << "FailPlain returned";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.form(), Failure::Form::kPlain);
    EXPECT_EQ(failure.status(), 2);
    EXPECT_EQ(failure.text(), "matrix must be square to invert\n");
  }
}

TEST(Format, FormatsLikePrintfIncludingLongResults) {
  EXPECT_EQ(Format("%d: Invalid command '%s'\n", 3, "windo"), "3: Invalid command 'windo'\n");
  std::string longText(5000, 'x');
  EXPECT_EQ(Format("%s!", longText.c_str()), longText + "!");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace pedscan
