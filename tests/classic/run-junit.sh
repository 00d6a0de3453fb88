#!/usr/bin/env bash
# Runs the JUnit suite in a JVM under -Xcheck:jni and fails on any JNI warning,
# even when every test passed. Arguments after the fifth are further JVM options.
set -u
java=$1 jar=$2 cp=$3 lib=$4 prog=$5
shift 5
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$java" -Xcheck:jni -Dzarno.library="$lib" -Dzarno.programLibrary="$prog" -Dzarno.java="$java" "$@" \
  -Dzarno.classpath="$cp" -jar "$jar" --class-path "$cp" --scan-class-path \
  --fail-if-no-tests --disable-banner --disable-ansi-colors --details=tree 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -E '^WARNING.*JNI|WARNING in native method|FATAL ERROR in native method' "$log" >/dev/null; then
  echo "JNI check warnings found (see above)" >&2
  exit 1
fi
exit "$status"
