// The three ways pedscan ends a run on an error, owned by one module.
//
// A library function never prints and exits itself: it throws Failure, and
// main catches it once, prints it with ReportFailure and exits with its status.
// That keeps every unit testable with EXPECT_THROW.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

namespace pedscan {

class Failure : public std::exception {
 public:
  enum class Form {
    kFatal,   // "<file>(<function>.<line>): \n  <message>\n" on stdout, status -1
    kPlain,   // one plain message on stdout, status 2
    kParser,  // the command-line parser's report on stderr, status 1
  };

  Failure(Form form, std::string text, int status);

  Form form() const { return form_; }
  // The exact text to print, line terminators included.
  const std::string& text() const { return text_; }
  // Process exit status: -1, 1 or 2; 0 when the parser has printed the usage
  // or the version, which ends the run the same way.
  int status() const { return status_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Form form_;
  std::string text_;
  int status_;
};

// Throws the fatal report. `source` is the source name without extension
// ("input_parameters", "Storage"); the report shows it as ".\<source>.cpp".
// `line` is the line number the report has always carried for this message.
[[noreturn]] void Fatal(const char* source, const char* function, int line,
                        const std::string& message);

// Throws a plain message (printed exactly as given, so include the "\n").
[[noreturn]] void FailPlain(const std::string& text);

// Checks a precondition of a function: a violation is a fault of the calling
// code, not of the user's input. It throws the fatal report "precondition
// violated: <what>" from `function`, where `describe()` gives the values
// (only called on a violation), so that a release run ends with a report
// instead of an abort.
template <typename Describe>
void Require(bool condition, const char* source, const char* function, int line,
             Describe describe) {
  if (!condition) Fatal(source, function, line, "precondition violated: " + describe());
}

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for an argument list already started (args is left as it is).
std::string FormatList(const char* format, va_list args);

// Prints a failure where its form says (flushing stdout first so that the
// progress printed before it stays in order) and returns the exit status.
int ReportFailure(const Failure& failure);

}  // namespace pedscan
