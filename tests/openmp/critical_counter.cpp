// Unnamed and named critical sections, each guarding its own variable.
// tavo: clean
#include <cstdio>

int plain, named;

int main() {
#pragma omp parallel
  for (int i = 0; i < 50; i++) {
#pragma omp critical
    plain += 1;
#pragma omp critical(other)
    named += 2;
  }
  std::printf("%d %d\n", plain, named);
  return 0;
}
