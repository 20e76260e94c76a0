// A screen for model-file text before OpenCV's YAML reader parses it.
//
// The file storage's reader (OpenCV 4.6) trusts its input in a few places: a
// document that ends before the end of the text makes it step three
// characters on, possibly past the line into stale buffer bytes, and a stray
// '-' there sends it round its document loop forever; an empty mapping key
// makes it build a string of negative length; its recursion has no depth
// limit. ScreenYaml walks the text with the reader's own decisions, token by
// token, but builds nothing and has a depth limit, so that it ends on any
// text. It refuses what the reader cannot be trusted with and lets through
// everything else, including text that the reader itself rejects with a
// report of its own (the walk stops where the reader would).
//
// Text passed is meant for the reader's memory mode: lines end at '\n', and
// the walk assumes no NUL and no control character other than tab (refused
// here, they never occur in files the writer produces).
#pragma once

#include <optional>
#include <string>

namespace pedscan {

struct YamlProblem {
  int line = 0;         // 1-based line of the text
  std::string problem;  // what is refused, in a few words
};

// Nothing when `text` (which starts with "%YAML") is safe to hand to the
// reader; otherwise the first construct refused. Never throws for any text.
std::optional<YamlProblem> ScreenYaml(const std::string& text);

// The deepest nesting of collections and values the screen lets through; the
// model files the writer produces nest six deep.
constexpr int kMaxYamlDepth = 32;
// The longest quoted string it lets through, in characters after unescaping.
constexpr int kMaxYamlString = 4095;

}  // namespace pedscan
