// Drops the training-only records of a model file so that it can be bundled.
//
// A trained model keeps the window-level PLS scores T (one row per training
// window) and labels Y, a second copy of both with PLS regression. Projecting
// and classifying never use them, and they are most of the file. A trimmed
// model keeps each record with its shape cut to one row of zeros (T: one row
// of the factor count, Y: one label), so that every key of the file stays
// and its responses are those of the untrimmed model.
#pragma once

#include <string>

#include "model/model.h"

namespace pedscan {

// Replaces the training-only records of `model` by their trimmed form and
// returns how many it replaced: the window PLS's T and Y, and those of PLS
// regression when the model uses it. A record without rows keeps none.
int TrimTrainingRecords(Model& model);

// Reads the model file `in` through Storage, trims it and writes `out`
// (complete or not at all). Returns the number of records trimmed. Throws
// the Storage report (Failure) when `in` is not a readable model or `out`
// cannot be written.
int TrimModelFile(const std::string& in, const std::string& out);

}  // namespace pedscan
