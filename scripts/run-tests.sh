#!/bin/sh
# Installs what is missing, builds keelgate and runs every test: first the
# whole suite under AddressSanitizer + UndefinedBehaviorSanitizer and the
# threaded parts under ThreadSanitizer, then the whole suite on the normal
# build (its ctest summary is the last line). End-to-end tests need root:
# each runs the real daemon in a network namespace of its own; those labelled
# "postfix" also run a private Postfix there that consults it (about 35 s with
# two jobs, a minute under AddressSanitizer, so they stay in both runs).
#   sudo scripts/run-tests.sh
# KEELGATE_SANITIZERS=no skips the sanitizer builds, KEELGATE_FUZZ_SECONDS=0
# the fuzzing (default: 45 s per target). It first fails when the tests have
# grown past 0.40 of the product (scripts/test-ratio.sh).
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$top/scripts/install-deps.sh"
"$top/scripts/kelp-account.sh"
echo "== Test size"
"$top/scripts/test-ratio.sh"
if [ "${KEELGATE_SANITIZERS:-yes}" = yes ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  "$top/scripts/build.sh" "$top/build-asan" -DKEELGATE_TESTS=ON -DKEELGATE_SANITIZE=address
  (cd "$top/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     ctest -j"$jobs" --output-on-failure)
  echo "== ThreadSanitizer (threaded parts: the workers' lists, the agent)"
  KEELGATE_TARGETS="unit_tests agent_tests keelgate-agent agent_e2e_tests" \
    "$top/scripts/build.sh" "$top/build-tsan" -DKEELGATE_TESTS=ON -DKEELGATE_SANITIZE=thread
  (cd "$top/build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest -j"$jobs" -L 'unit|agent' --output-on-failure)
fi
if [ "${KEELGATE_FUZZ_SECONDS:-45}" -gt 0 ]; then
  echo "== Fuzzing (${KEELGATE_FUZZ_SECONDS:-45} s per target)"
  "$top/scripts/fuzz.sh" "${KEELGATE_FUZZ_SECONDS:-45}"
fi
echo "== Tests"
"$top/scripts/build.sh" "$top/build" -DKEELGATE_TESTS=ON
cd "$top/build" && ctest -j"$jobs" --output-on-failure
