/*
 * Preloaded into test programs run under valgrind (scripts/valgrind.sh).
 *
 * libhwy, loaded through libavcodec and libjxl, measures its timer's resolution
 * in a static initialiser with RDTSCP once CPUID says the processor has it.
 * Under valgrind CPUID reports the feature bits of valgrind's model processor,
 * RDTSCP among them, while valgrind only decodes RDTSCP on hosts that have it:
 * on a virtual CPU without it every program stops with SIGILL before main.
 * This replaces the one function that initialiser calls (libhwy's benchmark
 * timer, which nothing here uses) by a constant.
 */
unsigned long _ZN3hwy8platform15TimerResolutionEv(void);

/* hwy::platform::TimerResolution(): ticks of the timer's resolution. */
unsigned long _ZN3hwy8platform15TimerResolutionEv(void) { return 1; }
