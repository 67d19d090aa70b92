#!/bin/bash
# varto over many observations on a Slurm cluster: one array task per line of a
# task list, each running varto in its observation folder. varto_batch --slurm
# writes the list and submits this script; by hand:
#
#   ls -d /data/rosat/rh*/ > folders.txt
#   sbatch --array=1-$(wc -l < folders.txt)%50 varto_slurm_array.sh folders.txt [name=value ...]
#
# Task N takes line N of the list: a folder, optionally followed by words for
# that observation, separated by tabs. Words after the list go to every task,
# before the line's own. The report goes to varto.out and the error stream to
# varto.err in the folder; varto.status then holds varto's exit status and its
# words. The task's exit status is varto's. $VARTO names the program (default:
# varto on PATH).
#SBATCH --job-name=varto
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --mem=1G
#SBATCH --time=00:30:00
#SBATCH --output=varto-%A_%a.log
set -euo pipefail

list=${1:?usage: sbatch --array=1-N varto_slurm_array.sh tasks.txt [name=value ...]}
shift
task=${SLURM_ARRAY_TASK_ID:?run this script as a Slurm job array (sbatch --array=1-N)}
line=$(sed -n "${task}p" "$list")
if [ -z "$line" ]; then
  echo "varto_slurm_array: no line $task in $list" >&2
  exit 1
fi
IFS=$'\t' read -r -a fields <<<"$line"
words=("$@" "${fields[@]:1}")
cd "${fields[0]}"
status=0
"${VARTO:-varto}" "${words[@]}" >varto.out 2>varto.err || status=$?
printf '%s\n%s\n' "$status" "${words[*]}" >varto.status
exit "$status"
