// Linked into every executable of a sanitizer build (ZONALSTATS_SANITIZE, ZONALSTATS_TSAN). A
// report ends the process with an exit code that no run of the tool uses, so a test that expects a
// failing run (exit code 1, say) cannot take a report for it; and no error is recovered from.
extern "C" const char *__asan_default_options() {
    return "exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1";
}

extern "C" const char *__ubsan_default_options() {
    return "exitcode=87:halt_on_error=1:print_stacktrace=1";
}

extern "C" const char *__tsan_default_options() {
    return "exitcode=88:halt_on_error=1:second_deadlock_stack=1";
}

// libgdal is not built with ThreadSanitizer; what it does inside itself (its own lock order, say)
// is GDAL's, not the tool's.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libgdal.so\n"
           "deadlock:libgdal.so\n"
           "race:libgdal.so\n";
}

// What libgdal allocates and keeps until the process ends (its drivers, its file-system
// handlers, those the tool puts in place of some among them) is GDAL's.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libgdal.so\n";
}

// A run whose only leaks are suppressed must stay silent: tests compare what it prints.
extern "C" const char *__lsan_default_options() {
    return "print_suppressions=0";
}
