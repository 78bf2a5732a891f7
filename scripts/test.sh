#!/usr/bin/env bash
# All tests: installs what is missing, checks that README.md names only what
# exists and shows only commands that work, that clang-format would change no
# C or C++ file, builds natively and runs the unit tests, compares how
# QarnIExplain and Wine's regedit read a corpus of reg exports, cross-builds
# QarnIEx.exe and QarnIExplain.exe, checks their imports and resources,
# builds the Windows Installer package, signs the three in a build of their
# own with a throw-away CA and a local time-stamping authority (both
# timestamp kinds), makes and checks its release folder, installs the signed
# package under Wine, and runs "QarnIEx.exe -v"
# under Wine and the end-to-end suite (package and explain cases included),
# cross-builds the Windows test programs as 32-bit and as 64-bit programs and
# runs them under Wine, then the unit tests again under ASan + UBSan and under
# TSan, and each fuzz target for a bounded time. Ends with
# "N passed, M failed, K skipped"; exits non-zero on any failure.
#
# Where this machine runs no 32-bit programs (see qx_probe_32bit in
# scripts/common.sh) the steps that run 32-bit programs under Wine are skipped,
# and the reason is said once; the end-to-end suite runs on the 64-bit test
# build instead (QX_E2E_WIN64=1: also where 32-bit programs run).
# QX_REQUIRE_32BIT=1 makes each skipped step fail instead; QX_NO_32BIT=1 takes
# that path on any machine.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

passed=0
failed=0
skipped=0
step() { echo; echo "== $* [$((SECONDS / 60)):$(printf %02d $((SECONDS % 60)))]"; }
pass() { echo "-- PASS: $*"; passed=$((passed + 1)); }
fail() { echo "-- FAIL: $*"; failed=$((failed + 1)); }
# A step that runs 32-bit programs: true where they run; elsewhere the step is
# counted as skipped (failed with QX_REQUIRE_32BIT=1) and false.
runs_32bit() { # step
    qx_runs_32bit && return 0
    if [ "${QX_REQUIRE_32BIT:-}" = 1 ]; then
        fail "$1: no 32-bit programs run here (QX_REQUIRE_32BIT=1)"
    else
        echo "-- SKIP: $1 (no 32-bit programs here, see the top)"
        skipped=$((skipped + 1))
    fi
    return 1
}
# Runs a script that ends with "N passed, M failed[, K skipped]" and counts
# its cases one by one; a run that ends without that summary counts as one
# failure.
counted_suite() { # name script args...
    local name=$1 out status line suite_passed suite_failed suite_skipped
    shift
    out=$(mktemp)
    bash "$@" 2>&1 | tee "$out"
    status=${PIPESTATUS[0]}
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$out" | tail -n 1)
    rm -f "$out"
    if [ -n "$line" ]; then
        read -r suite_passed _ suite_failed _ suite_skipped _ <<<"${line//,/}"
        passed=$((passed + suite_passed))
        failed=$((failed + suite_failed))
        skipped=$((skipped + ${suite_skipped:-0}))
        [ "$status" -eq 0 ] || [ "$suite_failed" -gt 0 ] || fail "${name} exit code ${status}"
    else
        fail "${name} ended without its summary (exit code ${status})"
    fi
}
summary() {
    echo
    echo "took $((SECONDS / 60)) min $((SECONDS % 60)) s"
    echo "${passed} passed, ${failed} failed, ${skipped} skipped"
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

step "Can this machine run 32-bit programs (QarnIEx.exe, the 32-bit Wine loader)?"
if qx_runs_32bit; then
    echo "yes"
else
    qx_say_no_32bit
fi

step "README check (tests/readme/check_readme.sh)"
if bash tests/readme/check_readme.sh; then
    pass "README check"
else
    fail "README check"
fi

step "Format (clang-format --dry-run on every C and C++ file)"
if git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
    pass "format"
else
    fail "format: run clang-format -i on the files named above"
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
    # Needs the 64-bit Wine loader only: runs on every machine.
    step "Reg exports read by QarnIExplain and by Wine's regedit (tests/regcompare/run_reg_compare.sh)"
    counted_suite "reg export comparison" tests/regcompare/run_reg_compare.sh build/native
else
    fail "native build"
    fail "unit tests not run"
    fail "reg export comparison not run"
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

    step "Signed build and release, offline (build/win32-signed, tests/signing/check_signing.sh)"
    if bash tests/signing/check_signing.sh build/win32-signed; then
        pass "signing"
        if runs_32bit "signed package under Wine"; then
            E2E_CASES=msi_install counted_suite "signed package under Wine" \
                tests/e2e/run_e2e.sh build/win32-signed/QarnIEx.exe
        fi
    else
        fail "signing"
    fi

    step "QarnIEx.exe -v under Wine"
    if ! runs_32bit "QarnIEx.exe -v under Wine"; then
        :
    elif qx_wine_setup; then
        out=$(qx_wine_run -v)
        status=$?
        echo "$out"
        expected="QarnIEx Version $(qx_version_shown build/win32)"$'\nThe service is not installed'
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
    if ! qx_runs_32bit && [ "${QX_REQUIRE_32BIT:-}" != 1 ]; then
        echo "-- no 32-bit programs here: it runs on the 64-bit test build below"
    elif runs_32bit "end-to-end suite"; then
        counted_suite "end-to-end suite" tests/e2e/run_e2e.sh build/win32/QarnIEx.exe
    fi
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
# device events; each run counts. The 64-bit build runs on every machine.
step "Windows test programs under Wine (build/win32-tests, tests/win32/run_win32_tests.sh)"
# Only the two programs: the e2e suite runs build/win32's QarnIEx.exe.
if qx_build_win32_tests i686 platform_contract device_events; then
    pass "cross build of the Windows test programs"
    if runs_32bit "Windows test programs (32-bit)"; then
        counted_suite "Windows test programs" tests/win32/run_win32_tests.sh build/win32-tests
    fi
else
    fail "cross build of the Windows test programs"
fi
step "64-bit Windows test programs under 64-bit Wine (build/win64-tests, tests/win32/run_win32_tests.sh --win64)"
# The 64-bit test build of QarnIEx.exe and its tools only where the e2e suite runs it.
e2e_win64= win64_targets="platform_contract device_events"
if ! qx_runs_32bit || [ "${QX_E2E_WIN64:-}" = 1 ]; then e2e_win64=1 win64_targets=; fi
if qx_build_win32_tests x86_64 $win64_targets; then
    pass "cross build of the 64-bit Windows test programs"
    counted_suite "64-bit Windows test programs" tests/win32/run_win32_tests.sh --win64 build/win64-tests
    if [ -n "$e2e_win64" ]; then
        step "End-to-end suite on the 64-bit test build under 64-bit Wine (tests/e2e/run_e2e.sh --win64)"
        counted_suite "64-bit end-to-end suite" tests/e2e/run_e2e.sh --win64 build/win64-tests/QarnIEx.exe
    fi
else
    fail "cross build of the 64-bit Windows test programs"
fi

# ---- Sanitizers and fuzzing: full rebuilds of their own, a few minutes each.
# ASan + UBSan unoptimized: it compiles in a third of the time of -O2 and
# optimizes no check away; TSan optimized, as its stress scenarios run slow.
for sanitizer in address,undefined:Debug thread:RelWithDebInfo; do
    build_type="${sanitizer#*:}"
    sanitizer="${sanitizer%:*}"
    step "Unit tests with -fsanitize=${sanitizer} (build/san-${sanitizer%%,*})"
    dir="build/san-${sanitizer%%,*}"
    if cmake -S . -B "$dir" -G "$(qx_generator)" -DQX_SANITIZE="$sanitizer" \
             -DCMAKE_BUILD_TYPE="$build_type" >/dev/null &&
       cmake --build "$dir" --target unit_tests platform_contract platform_contract_memory &&
       "$dir/tests/unit_tests" --gtest_brief=1 &&
       "$dir/tests/platform_contract" --gtest_brief=1 &&
       "$dir/tests/platform_contract_memory" --gtest_brief=1; then
        pass "unit tests with -fsanitize=${sanitizer}"
    else
        fail "unit tests with -fsanitize=${sanitizer}"
    fi
done

step "Fuzz targets, ${QX_FUZZ_SECONDS:-30} s each (build/fuzz)"
if bash tests/fuzz/run_fuzz.sh; then
    pass "fuzzing"
else
    fail "fuzzing"
fi

summary
