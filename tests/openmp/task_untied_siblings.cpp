// Untied tasks that yield halfway, all adding to one counter.
// tavo: racy
#include <cstdio>

int counter;

int main() {
#pragma omp parallel
#pragma omp single
  for (int i = 0; i < 4; i++) {
#pragma omp task untied
    {
#pragma omp taskyield
      counter += 1;  // race
    }
  }
  std::printf("%d\n", counter);
  return 0;
}
