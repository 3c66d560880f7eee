// One update takes the lock, the other one forgot it.
// tavo: racy
// tavo-options: dedupe=0
// (both lines race on the same bytes: by default only the first pair found is reported)
#include <omp.h>
#include <cstdio>

int counter;
omp_lock_t lock;

int main() {
  omp_init_lock(&lock);
#pragma omp parallel
  {
    omp_set_lock(&lock);
    counter += 1;  // race
    omp_unset_lock(&lock);
    counter += 1;  // race
  }
  omp_destroy_lock(&lock);
  std::printf("%d\n", counter);
  return 0;
}
