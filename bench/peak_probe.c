/* Measures this machine's rate of independent vector multiplies and adds
 * (no fused multiply-add): each thread runs 12 independent multiply chains
 * and 12 independent add chains over the widest float vectors the compiler
 * was told to use. Prints multiply+add pairs (one lane each) per second
 * over all threads. Usage: peak_probe THREADS SECONDS */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#if defined(__AVX512F__)
#define BYTES 64
#elif defined(__AVX2__)
#define BYTES 32
#else
#define BYTES 16
#endif
typedef float vf __attribute__((vector_size(BYTES)));
#define LANES (BYTES / 4)
#define CHAINS 12

static double seconds_to_run;
static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

static void* worker(void* arg) {
    double* out = arg;
    vf m[CHAINS], a[CHAINS];
    vf mul = (vf){} + 1.0000001f, add = (vf){} + 1e-7f;
    for (int c = 0; c < CHAINS; ++c) {
        m[c] = (vf){} + (1.0f + c);
        a[c] = (vf){} + (float)c;
    }
    const long inner = 1 << 16;
    long rounds = 0;
    double start = now(), t;
    do {
        for (long i = 0; i < inner; ++i) {
#pragma GCC unroll 12
            for (int c = 0; c < CHAINS; ++c) {
                m[c] = m[c] * mul;
                a[c] = a[c] + add;
            }
            __asm__ volatile("" : "+v"(mul), "+v"(add));
        }
        ++rounds;
        t = now() - start;
    } while (t < seconds_to_run);
    float sink = 0;
    for (int c = 0; c < CHAINS; ++c) sink += m[c][0] + a[c][0];
    out[0] = (double)rounds * inner * CHAINS * LANES / t;
    out[1] = sink;
    return NULL;
}

int main(int argc, char** argv) {
    int threads = argc > 1 ? atoi(argv[1]) : 1;
    seconds_to_run = argc > 2 ? atof(argv[2]) : 0.5;
    pthread_t th[64];
    double res[64][2];
    for (int i = 0; i < threads; ++i) pthread_create(&th[i], NULL, worker, res[i]);
    double total = 0;
    for (int i = 0; i < threads; ++i) {
        pthread_join(th[i], NULL);
        total += res[i][0];
    }
    printf("%.6e\n", total);
    return 0;
}
