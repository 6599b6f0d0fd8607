// Settings that sanitised test runs read from the program itself.

// Debian's libx265 leaks a few small blocks per encoder; only the slide writer
// uses the encoder, so the leak checker is told to skip them.
extern "C" __attribute__((used, visibility("default"))) const char *__lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}
