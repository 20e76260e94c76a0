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
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    out.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
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
