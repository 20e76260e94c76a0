// Drops the training-only data from the text of a model file.
//
// A model file keeps the window-level PLS scores T (one row per training
// window) and labels Y, twice with PLS regression; the reader loads them and
// throws them away, since projecting and classifying never uses them. They
// are most of the file.
#pragma once
#include <string>

namespace pedscan {

// Returns the text with every "T" matrix record cut to one row and every "Y"
// record to one element, all zero; every other line is copied unchanged
// (line terminators become "\n"). `trimmed` receives the number of records
// cut. A record is a key line followed by rows, cols and data lines and
// deeper "- " data lines; a "T" or "Y" key of any other shape is copied.
std::string TrimModelText(const std::string& text, int* trimmed);

}  // namespace pedscan
