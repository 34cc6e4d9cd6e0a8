#!/usr/bin/env bash
# Runs each stage of `make test` as `MAKE... STAGE`, with its output in
# LOG_DIR/STAGE.log, and prints one line per stage and a summary. A failed
# stage prints the end of its log; the later stages still run (except after
# a failed setup or build, which they all need) and the exit status is 1.
#   tools/run_stages.sh LOG_DIR STAGE... -- MAKE [ARGS...]
set -uo pipefail
log_dir=$1
shift
stages=()
while [ "$1" != "--" ]; do
    stages+=("$1")
    shift
done
shift
mkdir -p "$log_dir"
rm -f "$log_dir"/*.log

start=$SECONDS
passed=()
failed=()
skipped=()
summary=()
stop=""
for stage in "${stages[@]}"; do
    if [ -n "$stop" ]; then
        skipped+=("$stage")
        summary+=("$(printf '%-8s %-14s after the failed %s' skipped "$stage" "$stop")")
        continue
    fi
    log="$log_dir/$stage.log"
    t0=$SECONDS
    printf '%-14s ' "$stage"
    "$@" "$stage" >"$log" 2>&1
    status=$?
    # The closing line of pytest or ctest, where the stage has one.
    detail=$(grep -E '^(=+ )?[0-9]+ (passed|failed)|tests passed|[0-9]+ passed' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
    line=$(printf '%4d s  %s' $((SECONDS - t0)) "$detail")
    if [ $status -eq 0 ]; then
        echo "ok      $line"
        passed+=("$stage")
        summary+=("$(printf '%-8s %-14s %s' ok "$stage" "$line")")
    else
        echo "FAILED  $line"
        # pytest's own summary of the failures, or else the end of the log.
        if grep -q "short test summary info" "$log"; then
            echo "---- $log, from pytest's summary"
            sed -n '/short test summary info/,$p' "$log"
        else
            echo "---- last 40 lines of $log"
            tail -n 40 "$log"
        fi
        echo "----"
        failed+=("$stage")
        summary+=("$(printf '%-8s %-14s %s' FAILED "$stage" "$line")")
        case $stage in envs | wheel) stop=$stage ;; esac
    fi
done

echo
echo "== make test summary ($((SECONDS - start)) s; logs in $log_dir)"
printf '%s\n' "${summary[@]}"
if [ ${#skipped[@]} -gt 0 ]; then
    echo "stages: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
else
    echo "stages: ${#passed[@]} passed, ${#failed[@]} failed"
fi
[ ${#failed[@]} -eq 0 ]
