#include "support/failure.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace pedscan {

Failure::Failure(Form form, std::string text, int status)
    : form_(form), text_(std::move(text)), status_(status) {}

void Fatal(const char* source, const char* function, int line, const std::string& message) {
  std::string file = std::string(".\\") + source + ".cpp";
  throw Failure(Failure::Form::kFatal,
                Format("%s(%s.%d): \n  %s\n", file.c_str(), function, line, message.c_str()), -1);
}

void FailPlain(const std::string& text) { throw Failure(Failure::Form::kPlain, text, 2); }

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatList(format, args);
  va_end(args);
  return out;
}

std::string FormatList(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string out;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    va_list write;
    va_copy(write, args);
    std::vsnprintf(buffer.data(), buffer.size(), format, write);
    va_end(write);
    out.assign(buffer.data(), static_cast<size_t>(length));
  }
  return out;
}

int ReportFailure(const Failure& failure) {
  std::fflush(stdout);
  FILE* stream = failure.form() == Failure::Form::kParser ? stderr : stdout;
  std::fwrite(failure.text().data(), 1, failure.text().size(), stream);
  std::fflush(stream);
  return failure.status();
}

}  // namespace pedscan
