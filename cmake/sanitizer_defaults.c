/* The sanitizers' settings for the test programs, built in rather than passed through the
 * environment: discovered GoogleTest cases keep one environment entry at most. A test that
 * sets ASAN_OPTIONS or UBSAN_OPTIONS itself still wins over these. */
__attribute__((visibility("default"), used)) const char *__asan_default_options(void)
{
    return "detect_leaks=0:abort_on_error=0:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char *__ubsan_default_options(void)
{
    return "print_stacktrace=1:halt_on_error=1";
}
