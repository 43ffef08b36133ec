// Under the sanitizers of the host build, LeakSanitizer reports what the
// plotting libraries keep until exit (fontconfig's caches, the driver
// loader). Those are theirs, not ours; leaks of our own still fail a run.
extern "C" const char *__lsan_default_suppressions();
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libltdl.so\n"
           "leak:libcairo.so\n"
           "leak:libpango\n"
           "leak:libglib-2.0.so\n"
           "leak:libplplot.so\n";
}

// And without the table of what was suppressed on every plotting run.
extern "C" const char *__lsan_default_options();
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }
