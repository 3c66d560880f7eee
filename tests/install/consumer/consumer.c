/* Links the library through its header: the configuration block is the library's own. */
#include <stdio.h>
#include <tavo/tavo.h>

int main(void) {
    printf("configuration version %u, sync id %llu\n", (unsigned)__tavo_config.version,
           (unsigned long long)_TAVO_syncAllocate());
    return 0;
}
