// The chart libraries' bundle (see report/bundle.cmake), assembled into the
// binary as one NUL-terminated string so report.html can inline it.
#ifndef ZARNO_CHARTS_JS_PATH
#error "ZARNO_CHARTS_JS_PATH names the bundle to embed"
#endif

asm(".section .rodata\n"
    ".global zarno_charts_js\n"
    ".type zarno_charts_js, @object\n"
    ".balign 16\n"
    "zarno_charts_js:\n"
    ".incbin \"" ZARNO_CHARTS_JS_PATH "\"\n"
    ".byte 0\n"
    ".size zarno_charts_js, . - zarno_charts_js\n"
    ".previous\n");
