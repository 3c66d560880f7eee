// taskloop's implicit taskgroup orders the loop before the sum.
// tavo: clean
#include <cstdio>

constexpr int n = 500;
int a[n];

int main() {
  long total = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp taskloop grainsize(16)
    for (int i = 0; i < n; i++) a[i] = i;
#pragma omp taskloop num_tasks(8)
    for (int i = 0; i < n; i++) a[i] += 1;
    for (int i = 0; i < n; i++) total += a[i];
  }
  std::printf("%ld\n", total);
  return 0;
}
