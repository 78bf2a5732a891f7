#!/usr/bin/env bash
# All tests: installs what is missing, checks that README.md names only what
# exists and shows only commands that work, builds natively and runs the unit tests,
# cross-builds QarnIEx.exe and QarnIExplain.exe, checks their imports and
# resources, builds the Windows Installer package, and runs "QarnIEx.exe -v"
# under Wine and the end-to-end suite (package and explain cases included),
# cross-builds the Windows test programs and runs them under Wine, then the
# unit tests again under ASan + UBSan and under TSan, and each fuzz target for
# a bounded time. Ends with
# "N passed, M failed"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

passed=0
failed=0
step() { echo; echo "== $*"; }
pass() { echo "-- PASS: $*"; passed=$((passed + 1)); }
fail() { echo "-- FAIL: $*"; failed=$((failed + 1)); }
# Runs a script that ends with "N passed, M failed" and counts its cases one
# by one; a run that ends without that summary counts as one failure.
counted_suite() { # name script args...
    local name=$1 out status line suite_passed suite_failed
    shift
    out=$(mktemp)
    bash "$@" 2>&1 | tee "$out"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out" | tail -n 1)
    rm -f "$out"
    if [ -n "$line" ]; then
        read -r suite_passed _ suite_failed _ <<<"${line//,/}"
        passed=$((passed + suite_passed))
        failed=$((failed + suite_failed))
        [ "$status" -eq 0 ] || [ "$suite_failed" -gt 0 ] || fail "${name} exit code ${status}"
    else
        fail "${name} ended without its summary (exit code ${status})"
    fi
}
summary() {
    echo
    echo "${passed} passed, ${failed} failed"
    [ "$failed" -eq 0 ]
    exit
}
trap qx_wine_cleanup EXIT

step "Install missing packages"
if qx_ensure_packages; then
    pass "packages"
else
    fail "packages could not be installed"
    summary
fi

step "README check (tests/readme/check_readme.sh)"
if bash tests/readme/check_readme.sh; then
    pass "README check"
else
    fail "README check"
fi

step "Native build (build/native)"
if qx_build_native; then
    pass "native build"
    step "Unit tests (ctest)"
    # A hung test fails after 5 minutes instead of blocking the whole run.
    if ctest --test-dir build/native --output-on-failure --timeout 300; then
        pass "unit tests"
    else
        fail "unit tests"
    fi
else
    fail "native build"
    fail "unit tests not run"
fi

step "Cross build (build/win32)"
if qx_build_win32; then
    pass "cross build"

    step "Imports and resources of QarnIEx.exe"
    if bash tests/imports/check_imports.sh build/win32/QarnIEx.exe; then
        pass "import check"
    else
        fail "import check"
    fi

    step "Imports and resources of QarnIExplain.exe"
    if bash tests/imports/check_imports.sh --tool build/win32/QarnIExplain.exe; then
        pass "import check of the explain tool"
    else
        fail "import check of the explain tool"
    fi

    step "Windows Installer package (build/win32, target msi)"
    if qx_build_msi; then
        pass "msi package"
    else
        fail "msi package"
    fi

    step "QarnIEx.exe -v under Wine"
    if qx_wine_setup; then
        out=$(qx_wine_run -v)
        status=$?
        echo "$out"
        expected=$'QarnIEx Version 1.20\nThe service is not installed'
        if [ "$status" -eq 0 ] && [ "$out" = "$expected" ]; then
            pass "QarnIEx.exe -v"
        else
            cat "$QX_WINE_DIR/err"
            fail "QarnIEx.exe -v: exit code ${status}, expected 0 and the lines:"$'\n'"$expected"
        fi
        qx_wine_cleanup
    else
        fail "Wine prefix could not be set up"
    fi

    # ---- end-to-end suite (tests/e2e): the exe as a real service under Wine.
    step "End-to-end suite under Wine (tests/e2e/run_e2e.sh)"
    counted_suite "end-to-end suite" tests/e2e/run_e2e.sh build/win32/QarnIEx.exe
    # ---- end of the end-to-end suite
else
    fail "cross build"
    fail "import check not run"
    fail "msi package not built"
    fail "Wine run not done"
    fail "end-to-end suite not run"
fi

# ---- Windows test programs under Wine (tests/win32): the Platform contract
# against the real Win32 platform, and the drive icon service driven with
# device events; each run counts.
step "Windows test programs under Wine (build/win32-tests, tests/win32/run_win32_tests.sh)"
if qx_build_win32_tests; then
    pass "cross build of the Windows test programs"
    counted_suite "Windows test programs" tests/win32/run_win32_tests.sh build/win32-tests
else
    fail "cross build of the Windows test programs"
fi

# ---- Sanitizers and fuzzing: full rebuilds of their own, a few minutes each.
for sanitizer in address,undefined thread; do
    step "Unit tests with -fsanitize=${sanitizer} (build/san-${sanitizer%%,*})"
    dir="build/san-${sanitizer%%,*}"
    if cmake -S . -B "$dir" -G "$(qx_generator)" -DQX_SANITIZE="$sanitizer" \
             -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
       cmake --build "$dir" && "$dir/tests/unit_tests" --gtest_brief=1 &&
       "$dir/tests/platform_contract" --gtest_brief=1; then
        pass "unit tests with -fsanitize=${sanitizer}"
    else
        fail "unit tests with -fsanitize=${sanitizer}"
    fi
done

step "Fuzz targets, ${QX_FUZZ_SECONDS:-45} s each (build/fuzz)"
if bash tests/fuzz/run_fuzz.sh; then
    pass "fuzzing"
else
    fail "fuzzing"
fi

summary
