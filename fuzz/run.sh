#!/usr/bin/env bash
# Runs each libFuzzer target of a fuzz build for a number of seconds and prints
# one line per target: executions per second, coverage (edges) and findings.
# Corpora and findings stay under the build folder.
#   fuzz/run.sh BUILD SECONDS [TARGET...]
# Exit status 1 when any target found something.
set -u
build=$1
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(iraf rdb args util dsname fits text region sky)
src=$(cd "$(dirname "$0")" && pwd)
status=0
for t in "${targets[@]}"; do
  case $t in
    iraf|args) dict=par.dict ;;
    rdb) dict=rdb.dict ;;
    fits|sky) dict=fits.dict ;;
    region) dict=region.dict ;;
    *) dict=text.dict ;;
  esac
  case $t in
    fits|sky) maxlen=65536 ;;
    *) maxlen=16384 ;;
  esac
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  log=$build/logs/$t.log
  mkdir -p "$corpus" "$findings" "$build/logs"
  seeds=()
  for d in $(grep "^$t " "$build/fuzz_seeds.txt" | cut -d' ' -f2-); do
    [ -d "$d" ] && seeds+=("$d")
  done
  "$build/fuzz/fuzz_$t" "$corpus" "${seeds[@]}" -dict="$src/dict/$dict" \
    -max_total_time="$seconds" -max_len=$maxlen -timeout=10 -malloc_limit_mb=1024 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$findings/" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  found=$(find "$findings" -type f | wc -l)
  printf '%-6s %8s exec/s %6s edges %3s findings' "$t" "${execs:-?}" "${edges:-?}" "$found"
  if [ "$found" -gt 0 ] || [ $rc -ne 0 ]; then
    printf '  (exit %d, see %s and %s)' "$rc" "$log" "$findings"
    status=1
  fi
  printf '\n'
done
exit $status
