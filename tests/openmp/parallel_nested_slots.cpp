// Nested regions: every inner thread writes its own slot (racy: all the same one); the outer
// thread reads its row after the inner region and the main thread reads everything after the
// outer one.
// tavo: racy
// tavo-fixed
#include <omp.h>
#include <cstdio>

#ifdef FIXED
#define SLOT(outer, inner) grid[outer][inner]
#else
#define SLOT(outer, inner) grid[0][0]
#endif

int main() {
  int grid[2][2] = {};
  int rows[2] = {};
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
  {
    const int outer = omp_get_thread_num();
#pragma omp parallel num_threads(2)
    SLOT(outer, omp_get_thread_num()) = outer * 2 + omp_get_thread_num() + 1;  // race
    rows[outer] = grid[outer][0] + grid[outer][1];
  }
  std::printf("%d\n", rows[0] + rows[1]);
  return 0;
}
