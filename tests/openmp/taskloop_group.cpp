// taskloop's implicit taskgroup orders the loop before the sum; racy, the tasks of the second
// taskloop all add to one variable.
// tavo: racy
// tavo-fixed
#include <cstdio>

constexpr int n = 500;
int a[n];

#ifndef FIXED
__attribute__((noinline)) static void add(long* total, int value) {
  *total += value;  // race
}
#endif

int main() {
  long total = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp taskloop grainsize(16)
    for (int i = 0; i < n; i++) a[i] = i;
#ifdef FIXED
#pragma omp taskloop num_tasks(8)
    for (int i = 0; i < n; i++) a[i] += 1;
#else
#pragma omp taskloop num_tasks(8) shared(total)
    for (int i = 0; i < n; i++) add(&total, a[i]);
#endif
    for (int i = 0; i < n; i++) total += a[i];
  }
  std::printf("%ld\n", total);
  return 0;
}
