// Do-nothing programs for the baselines: one that exits at once (the cost
// of exec itself) and one that blocks in pause() (the smallest resident
// size a process of this toolchain can have).
#include <unistd.h>

int main() {
#ifdef BENCH_IDLE_PAUSE
    pause();
#endif
    return 0;
}
