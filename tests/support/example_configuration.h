// The model configuration of the documentation's example: a 64 x 128 window,
// 105 COOCH blocks of 16 x 16, then 105 HOG blocks of 16 x 16 and 21 of
// 32 x 32, ten factors, QDA. Tests and benchmarks share it so that they all
// measure and check the same model shape.
#pragma once

namespace pedscan {
namespace testutil {

constexpr char kExampleModelConfiguration[] =
    "#model configuration\n"
    "ModelID <person01>\n"
    "window <64, 128>\n"
    "object <8, 16, 48, 96>\n"
    "region <0, 0, 63, 127>\n"
    "method <HOG, hogBlocks, 0, hogSet>\n"
    "block <hogBlocks, 16, 16, 8, 8, 0>\n"
    "block <hogBlocks, 32, 32, 16, 16, 0>\n"
    "params <hogSet, UseHOG, 1>\n"
    "params <hogSet, UseColorFrequency, 1>\n"
    "method <COOCH, coocBlocks, 0, coocSet>\n"
    "block <coocBlocks, 16, 16, 8, 8, 0>\n"
    "params <coocSet, bins, 16>\n"
    "params <coocSet, distance, 1>\n"
    "params <coocSet, cache, 1>\n"
    "factors <10>\n"
    "classifier <qda>\n";

}  // namespace testutil
}  // namespace pedscan
