#!/bin/bash
# varto over many observations on a Slurm cluster: one array task per line of a
# task list, each running varto in its observation folder. varto_batch --slurm
# writes the list and submits this script (varto_batch also runs it locally, one
# task at a time, through GNU parallel); by hand:
#
#   ls -d /data/rosat/rh*/ > folders.txt
#   sbatch --array=1-$(wc -l < folders.txt)%50 varto_slurm_array.sh folders.txt [name=value ...]
#
# Task N takes line N + VARTO_TASK_OFFSET of the list (the offset is 0 unless set;
# varto_batch numbers each array's tasks from 0 and sets it; VARTO_TASK, when set,
# replaces the array index). A line
# holds a folder, optionally followed by words for that observation, separated by
# tabs; a line beginning with $' is bash words in $'...' quotes, as varto_batch
# writes them, so that a folder name may hold any byte. Words after the list go to
# every task, before the line's own. The report goes to varto.out and the error
# stream to varto.err in the folder; varto.status then holds varto's exit status,
# its words and, when VARTO_RUN is set, that run mark. The old varto.status is
# removed as the task starts. All three are written in a private folder and renamed
# into place, so that a link at their names is replaced, never followed. A task
# stopped by SIGTERM, SIGINT or SIGHUP stops varto and writes no status. The task's
# exit status is varto's. $VARTO names the program (default: varto on PATH).
#SBATCH --job-name=varto
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --mem=1G
#SBATCH --time=00:30:00
#SBATCH --output=varto-%A_%a.log
set -uo pipefail

list=${1:?usage: sbatch --array=1-N varto_slurm_array.sh tasks.txt [name=value ...]}
shift
task=${VARTO_TASK:-${SLURM_ARRAY_TASK_ID:?run this script as a Slurm job array (sbatch --array=1-N)}}
number=$((task + ${VARTO_TASK_OFFSET:-0}))
line=$(sed -n "${number}p" "$list")
if [ -z "$line" ]; then
  echo "varto_slurm_array: no line $number in $list" >&2
  exit 1
fi
if [[ $line == "\$'"* ]]; then
  eval "fields=($line)"
else
  IFS=$'\t' read -r -a fields <<<"$line"
fi
words=("$@" "${fields[@]:1}")
cd -- "${fields[0]}" || exit 1
rm -f varto.status
private=$(mktemp -d .varto_batch.XXXXXX) || exit 1
child=
stop() {
  if [ -n "$child" ]; then
    kill -TERM "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  rm -rf -- "$private"
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP
"${VARTO:-varto}" "${words[@]}" >"$private/varto.out" 2>"$private/varto.err" </dev/null &
child=$!
wait "$child"
status=$?
{
  printf '%s\n%s\n' "$status" "${words[*]}"
  if [ -n "${VARTO_RUN:-}" ]; then printf '%s\n' "$VARTO_RUN"; fi
} >"$private/varto.status"
mv -fT -- "$private/varto.out" varto.out &&
  mv -fT -- "$private/varto.err" varto.err &&
  mv -fT -- "$private/varto.status" varto.status
rmdir -- "$private"
exit "$status"
