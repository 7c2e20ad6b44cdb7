#include "diff.h"

namespace coder {

void diff(const array<double, 1>& x, array<double, 1>& y) {
  const int n = x.size(0);
  if (n <= 1) {
    y.set_size(0);
    return;
  }
  y.set_size(n - 1);
  for (int i = 0; i < n - 1; ++i) {
    y[i] = x[i + 1] - x[i];
  }
}

}  // namespace coder
