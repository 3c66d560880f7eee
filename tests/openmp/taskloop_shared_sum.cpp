// The tasks of a taskloop all add to one variable.
// tavo: racy
#include <cstdio>

__attribute__((noinline)) static void add(long* total, int value) {
  *total += value;  // race
}

int main() {
  long total = 0;
#pragma omp parallel
#pragma omp single
#pragma omp taskloop grainsize(10) shared(total)
  for (int i = 0; i < 100; i++) add(&total, i);
  std::printf("%ld\n", total);
  return 0;
}
