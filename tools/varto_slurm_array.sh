#!/bin/bash
# varto over many observations on a Slurm cluster: one array task per
# observation folder, each running varto in its own folder.
#
#   ls -d /data/rosat/rh*/ > folders.txt
#   sbatch --array=1-$(wc -l < folders.txt)%50 tools/varto_slurm_array.sh folders.txt [name=value ...]
#
# Task N takes line N of the list. Words after the list go to varto (for
# example outfile=gain_hist.fits). The report goes to varto.out in the folder;
# the task's exit status is varto's, so `sacct` shows which observations failed.
#SBATCH --job-name=varto
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --mem=1G
#SBATCH --time=00:30:00
#SBATCH --output=varto-%A_%a.log
set -euo pipefail

list=${1:?usage: sbatch --array=1-N varto_slurm_array.sh folders.txt [name=value ...]}
shift
task=${SLURM_ARRAY_TASK_ID:?run this script as a Slurm job array (sbatch --array=1-N)}
folder=$(sed -n "${task}p" "$list")
if [ -z "$folder" ]; then
  echo "varto_slurm_array: no line $task in $list" >&2
  exit 1
fi
cd "$folder"
exec varto "$@" >varto.out
