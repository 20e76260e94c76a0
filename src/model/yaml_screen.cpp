#include "model/yaml_screen.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "support/failure.h"

namespace pedscan {

namespace {

// The reader's character classes: every byte from ' ' up counts as
// printable (UTF-8 included), letters and digits are ASCII only.
bool Printable(char c) { return static_cast<unsigned char>(c) >= static_cast<unsigned char>(' '); }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Alnum(char c) { return Digit(c) || Alpha(c); }

// The walk stops with one of these: the reader would throw its own parse
// error at this point (the text may go to it), or the screen refuses.
struct ReaderFails {};
struct Refused {
  std::string problem;
};

enum class Kind { kScalar, kCollection };

class Screen {
 public:
  explicit Screen(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      const size_t next = end == std::string::npos ? text.size() : end + 1;
      if (end == std::string::npos) end = text.size();
      // The reader ends a line's tokens at a carriage return as at '\n'.
      if (end > start && text[end - 1] == '\r') --end;
      lines_.emplace_back(text.data() + start, end - start);
      start = next;
    }
  }

  // The reader's document loop.
  void Run() {
    bool first = true;
    for (;;) {
      for (;;) {
        SkipSpaces(0);
        const char c = At(pos_);
        if (c == '%') {
          if (StartsWith("%YAML") && !StartsWith("%YAML:1.") && !StartsWith("%YAML 1.")) {
            throw ReaderFails{};
          }
          pos_ = Length();  // a directive is skipped to the end of its line
        } else if (c == '-') {
          if (StartsWith("---")) {
            pos_ += 3;
            break;
          }
          if (first) break;
          // The reader neither consumes this nor fails on it: it would
          // come back to the same '-' forever.
          Refuse("a '-' after the end of a document");
        } else if (Alnum(c) || c == '_') {
          if (!first) throw ReaderFails{};
          break;
        } else if (Eof()) {
          break;
        } else {
          throw ReaderFails{};
        }
      }
      SkipSpaces(0);
      if (!StartsWith("...")) {
        if (ParseValue(0, false, 1) != Kind::kCollection) throw ReaderFails{};
        SkipSpaces(0);
      }
      if (Eof()) return;
      // The reader steps over an assumed "..." or "---" here; past the end
      // of the line it would read what an earlier, longer line left in its
      // buffer.
      if (pos_ + 3 > Length()) Refuse("text after the end of the document");
      pos_ += 3;
      first = false;
    }
  }

  int LineNumber() const { return line_ < 0 ? 1 : line_ + 1; }

 private:
  [[noreturn]] void Refuse(const std::string& problem) { throw Refused{problem}; }

  size_t Length() const {
    if (atEnd_) return 3;
    return line_ < 0 ? 0 : lines_[static_cast<size_t>(line_)].size();
  }
  // The character at `p` of the current line, '\0' past its end. Once the
  // text is used up the reader's line is "...", which it puts there itself.
  char At(size_t p) const {
    if (atEnd_) return p < 3 ? '.' : '\0';
    if (line_ < 0) return '\0';
    const std::string_view line = lines_[static_cast<size_t>(line_)];
    return p < line.size() ? line[p] : '\0';
  }
  bool StartsWith(const char* word) const {
    for (size_t i = 0; word[i] != '\0'; ++i) {
      if (At(pos_ + i) != word[i]) return false;
    }
    return true;
  }
  // The reader's end-of-input test: true once the last line has been read.
  bool Eof() const { return atEnd_ || line_ + 1 >= static_cast<int>(lines_.size()); }

  void SkipSpaces(size_t minIndent) {
    for (;;) {
      while (At(pos_) == ' ') ++pos_;
      const char c = At(pos_);
      if (c != '#' && Printable(c)) {
        if (pos_ < minIndent) throw ReaderFails{};  // "Incorrect indentation"
        return;
      }
      if (c != '#' && c != '\0') throw ReaderFails{};  // a tab
      // A comment or the end of the line: on to the next line.
      if (!atEnd_ && line_ + 1 < static_cast<int>(lines_.size())) {
        ++line_;
      } else {
        atEnd_ = true;  // no indentation check on the reader's own "..."
        pos_ = 0;
        return;
      }
      pos_ = 0;
    }
  }

  void ParseKey() {
    if (At(pos_) == '-') throw ReaderFails{};
    size_t end = pos_;
    char c = At(end);
    while (Printable(c) && c != ':') c = At(++end);
    if (c != ':') throw ReaderFails{};
    // The reader trims the key backwards from the ':' without stopping at
    // its start: a key of blanks only would give a negative length.
    size_t last = end;
    while (last > pos_ && At(last - 1) == ' ') --last;
    if (last == pos_) Refuse("an empty mapping key");
    pos_ = end + 1;
  }

  Kind ParseValue(size_t minIndent, bool parentFlow, int depth) {
    if (depth > kMaxYamlDepth) Refuse("collections nested too deeply");
    const char c = At(pos_);
    const char d = At(pos_ + 1);
    if (c == '!') Refuse("a type tag");
    if (Digit(c) || ((c == '-' || c == '+') && (Digit(d) || d == '.')) || (c == '.' && Alnum(d))) {
      ParseNumber();
      return Kind::kScalar;
    }
    if (c == '\'' || c == '"') {
      ParseQuoted();
      return Kind::kScalar;
    }
    if (c == '[' || c == '{') {
      ParseFlow(minIndent, parentFlow, depth);
      return Kind::kCollection;
    }
    bool sequence = true;
    if (parentFlow || c != '-') {
      if (!parentFlow && (c == '?' || c == '|' || c == '>')) throw ReaderFails{};
      size_t end = pos_;
      char e = At(end);
      while (Printable(e) && (!parentFlow || (e != ',' && e != '}' && e != ']')) &&
             (parentFlow || e != ':')) {
        e = At(++end);
      }
      if (end == pos_) throw ReaderFails{};  // "Invalid character"
      if (parentFlow || e != ':') {
        pos_ = end;
        return Kind::kScalar;
      }
      sequence = false;  // a block mapping starting with this key
    }

    const size_t indent = pos_;
    for (;;) {
      if (sequence) {
        if (At(pos_) != '-') throw ReaderFails{};
        ++pos_;
      } else {
        ParseKey();
      }
      SkipSpaces(indent + 1);
      ParseValue(indent + 1, false, depth + 1);
      SkipSpaces(0);
      if (pos_ != indent) {
        if (pos_ < indent) break;
        throw ReaderFails{};  // "Incorrect indentation"
      }
      if (StartsWith("...")) break;
    }
    return Kind::kCollection;
  }

  void ParseFlow(size_t minIndent, bool parentFlow, int depth) {
    const size_t innerIndent = minIndent + (parentFlow ? 0 : 1);
    const bool mapping = At(pos_) == '{';
    const char close = mapping ? '}' : ']';
    ++pos_;
    for (int count = 0;; ++count) {
      SkipSpaces(innerIndent);
      const char c = At(pos_);
      if (c == '}' || c == ']') {
        if (c != close) throw ReaderFails{};
        ++pos_;
        return;
      }
      if (count != 0) {
        if (c != ',') throw ReaderFails{};
        ++pos_;
        SkipSpaces(innerIndent);
      }
      if (mapping) {
        ParseKey();
        SkipSpaces(innerIndent);
      } else if (At(pos_) == ']') {
        return;  // the reader leaves this bracket for its caller
      }
      ParseValue(innerIndent, true, depth + 1);
    }
  }

  // Numbers end where the C library's strtod and strtol end them, as in the
  // reader. Where the reader's own handling of a real is not certain (a
  // letter right after it, nothing converted), the screen refuses rather
  // than guess where the reader would go on.
  void ParseNumber() {
    const size_t start = pos_;
    const char c = At(start);
    size_t end = start + (c == '-' || c == '+');
    while (Digit(At(end))) ++end;
    const std::string_view line = lines_[static_cast<size_t>(line_)];
    const std::string rest(line.substr(start));
    char* stop = nullptr;
    if (At(end) == '.' || At(end) == 'e') {
      size_t dot = start + (c == '-' || c == '+');
      auto lower = [&](size_t p) { return static_cast<char>(std::tolower(At(p))); };
      if (At(dot) == '.' && ((lower(dot + 1) == 'i' && lower(dot + 2) == 'n' && lower(dot + 3) == 'f') ||
                             (lower(dot + 1) == 'n' && lower(dot + 2) == 'a' && lower(dot + 3) == 'n'))) {
        pos_ = dot + 4;  // ".inf", ".nan": read as such, or refused by the reader
        return;
      }
      std::strtod(rest.c_str(), &stop);
      const size_t length = static_cast<size_t>(stop - rest.c_str());
      if (length == 0 || Alpha(At(start + length)) || At(start + length) == '.') {
        Refuse("a malformed number");
      }
      pos_ = start + length;
    } else {
      std::strtol(rest.c_str(), &stop, 0);
      const size_t length = static_cast<size_t>(stop - rest.c_str());
      if (length == 0) throw ReaderFails{};
      pos_ = start + length;
    }
  }

  void ParseQuoted() {
    const char quote = At(pos_);
    int length = 0;
    for (;;) {
      if (length > kMaxYamlString) Refuse("a quoted string too long");
      char c = At(++pos_);
      if (quote == '\'') {
        if (Printable(c) && c != '\'') {
          ++length;
        } else if (c == '\'') {
          c = At(++pos_);
          if (c != '\'') return;  // the closing quote; a doubled one is a quote
          ++length;
        } else {
          throw ReaderFails{};  // the line ends inside the string
        }
      } else {
        if (Printable(c) && c != '\\' && c != '"') {
          ++length;
        } else if (c == '"') {
          ++pos_;
          return;
        } else if (c == '\\') {
          const char d = At(++pos_);
          // The escapes the writer uses; the reader's numeric escapes move
          // through the line in ways not worth following.
          if (d != '"' && d != '\\' && d != '\'' && d != 'n' && d != 'r' && d != 't') {
            Refuse("an unsupported escape in a quoted string");
          }
          ++length;
        } else {
          throw ReaderFails{};
        }
      }
    }
  }

  std::vector<std::string_view> lines_;
  int line_ = -1;  // before the first line the reader's buffer is empty
  size_t pos_ = 0;
  bool atEnd_ = false;
};

}  // namespace

std::optional<YamlProblem> ScreenYaml(const std::string& text) {
  // Control characters other than tab, and a carriage return not ending its
  // line, never occur in files the writer produces and would make the lines
  // the reader sees differ from the ones walked here.
  int line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
    } else if (!Printable(c) && c != '\t' && !(c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      return YamlProblem{line, Format("a control character (code %d)", static_cast<unsigned char>(c))};
    }
  }
  Screen screen(text);
  try {
    screen.Run();
  } catch (const ReaderFails&) {
    // The reader stops with its own report at this point.
  } catch (const Refused& refused) {
    return YamlProblem{screen.LineNumber(), refused.problem};
  }
  return std::nullopt;
}

}  // namespace pedscan
