// Stands in for the C library's time() in a program started with
// LD_PRELOAD naming this library, so that what the program draws from the
// clock (the cross-validation folds) is the same in every run. <ctime> is
// left out: its declaration is marked as never throwing, which this
// definition need not repeat; time_t is a long on the platforms we build on.
extern "C" long time(long* out) {
  const long now = 1700000000;
  if (out != nullptr) *out = now;
  return now;
}
