# Concatenates the minified chart libraries into one script for report.html:
#   cmake -DMODULES=<node_modules> -DOUT=<file> -P bundle.cmake
# Source-map comments are dropped (the report is offline; a browser would try
# to fetch them), and "</script" is escaped so the inlined text cannot close
# its <script> element.
set(out "")
foreach(f vega/build/vega.min.js vega-lite/build/vega-lite.min.js vega-embed/build/vega-embed.min.js)
  if(NOT EXISTS "${MODULES}/${f}")
    message(FATAL_ERROR "${MODULES}/${f} is missing: npm ci in the report folder failed")
  endif()
  file(READ "${MODULES}/${f}" js)
  string(REGEX REPLACE "\n//# sourceMappingURL=[^\n]*" "" js "${js}")
  string(REPLACE "</script" "<\\/script" js "${js}")
  string(APPEND out "${js}\n;\n")
endforeach()
file(WRITE "${OUT}" "${out}")
