// The report's files, assembled into the binary as NUL-terminated strings:
// the chart libraries' bundle (see report/bundle.cmake), which report.html
// inlines, and the page's template (report/report.html).
#ifndef ZARNO_CHARTS_JS_PATH
#error "ZARNO_CHARTS_JS_PATH names the bundle to embed"
#endif
#ifndef ZARNO_REPORT_HTML_PATH
#error "ZARNO_REPORT_HTML_PATH names the page template to embed"
#endif

#define ZARNO_EMBED(symbol, path)              \
    asm(".section .rodata\n"                   \
        ".global " #symbol "\n"                \
        ".type " #symbol ", @object\n"         \
        ".balign 16\n" #symbol ":\n"           \
        ".incbin \"" path "\"\n"               \
        ".byte 0\n"                            \
        ".size " #symbol ", . - " #symbol "\n" \
        ".previous\n");

ZARNO_EMBED(zarno_charts_js, ZARNO_CHARTS_JS_PATH)
ZARNO_EMBED(zarno_report_html, ZARNO_REPORT_HTML_PATH)
