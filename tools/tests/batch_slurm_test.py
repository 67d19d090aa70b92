"""varto_batch on a real one-node Slurm cluster: munged, slurmctld and slurmd started
from a scratch folder on 127.0.0.1 with MaxArraySize=5, eight sample observations as two
job arrays (one of them refused for its own ghist word), writing through none of the
links planted at its file names, then the daemons stopped by process id.
Needs root and Debian's slurm-wlm and munge; elsewhere it reports itself skipped.

    batch_slurm_test.py BUILD_DIR"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

import batch_helpers as h

BUILD = None
SKIP = 77  # CTest's SKIP_RETURN_CODE for this test


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, test, seconds):
    end = time.monotonic() + seconds
    while not test():
        if time.monotonic() > end:
            raise AssertionError(f"{what} within {seconds} s")
        time.sleep(0.2)


class Cluster:
    """A one-node cluster whose configuration, state, logs and munge key live in folder."""

    def __init__(self, folder):
        self.folder = folder
        self.daemons = []

    def start_all(self):
        folder = self.folder
        # munged wants every folder above its socket open to all.
        os.chmod(os.path.dirname(folder), 0o755)
        os.mkdir(folder, 0o755)
        host = socket.gethostname().split(".")[0]
        key = os.path.join(folder, "munge.key")
        with open(os.open(key, os.O_WRONLY | os.O_CREAT, 0o400), "wb") as f:
            f.write(os.urandom(1024))
        self.socket = os.path.join(folder, "munge.sock")
        with open("/proc/meminfo") as f:
            memory = int(f.read().split()[1]) // 1024 * 9 // 10
        for sub in ("state", "spool"):
            os.mkdir(os.path.join(folder, sub))
        self.conf = os.path.join(folder, "slurm.conf")
        with open(self.conf, "w") as f:
            f.write(f"""ClusterName=varto
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket={self.socket}
CredType=cred/munge
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
MaxArraySize=5
ReturnToService=2
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
NodeName={host} NodeAddr=127.0.0.1 CPUs={os.cpu_count()} RealMemory={memory} State=UNKNOWN
PartitionName=varto Nodes=ALL Default=YES MaxTime=INFINITE State=UP
""")
        self.env = dict(os.environ, SLURM_CONF=self.conf)
        self.start("munged", ["munged", "-F", f"--key-file={key}", f"--socket={self.socket}",
                              f"--pid-file={folder}/munged.pid", f"--log-file={folder}/munged.log",
                              f"--seed-file={folder}/munged.seed"])
        wait_for("munged's socket", lambda: os.path.exists(self.socket), 20)
        self.start("slurmctld", ["slurmctld", "-D", "-i"])
        self.start("slurmd", ["slurmd", "-D"])
        wait_for("an idle node", lambda: self.sinfo() == "idle", 60)
        for name, _ in self.daemons:
            print(f"--- {name} started:")
            with open(os.path.join(folder, f"{name}.stderr")) as f:
                print("".join(l for l in f if "start" in l.lower()), end="")
        print("--- sinfo:", self.sinfo(), flush=True)

    def start(self, name, cmd):
        with open(os.path.join(self.folder, f"{name}.stderr"), "w") as err:
            proc = subprocess.Popen(cmd, env=self.env, stdout=err, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, cwd=self.folder)
        self.daemons.append((name, proc))

    def sinfo(self):
        out = subprocess.run(["sinfo", "-h", "-o", "%T"], env=self.env, capture_output=True, text=True)
        return out.stdout.strip()

    def stop(self):
        """Stops the daemons this cluster started, the last started first, by their ids."""
        for name, proc in reversed(self.daemons):
            if proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(15)
                except subprocess.TimeoutExpired:
                    os.kill(proc.pid, signal.SIGKILL)
                    proc.wait()
            print(f"--- {name} (pid {proc.pid}) stopped", flush=True)


class SlurmTest(unittest.TestCase):
    def test_slurmArray_brokenObservation_summary(self):
        root = h.scratch()
        self.addCleanup(shutil.rmtree, root)
        cluster = Cluster(os.path.join(root, "cluster"))
        self.addCleanup(cluster.stop)
        cluster.start_all()

        archive = os.path.join(root, "archive")
        os.mkdir(archive)
        h.make_archive(BUILD, archive)
        with open(os.path.join(archive, "manifest.txt"), "w") as f:
            f.write("".join(f"o{k}\n" if k != 6 else "o6 ghist=7,3,0.05\n" for k in range(1, 9)))
        victims = {}
        for name in ("o1/varto.out", "o7/varto.err", "summary.csv", "summary.html"):
            victims[name] = os.path.join(root, name.replace("/", "_"))
            with open(victims[name], "w") as f:
                f.write("victim\n")
            os.symlink(victims[name], os.path.join(archive, name))
        run = subprocess.run([BUILD.batch, "--slurm", "--wait", "--varto", BUILD.varto,
                              "--slurm-args", "--time=5", "manifest.txt"],
                             cwd=archive, env=cluster.env, capture_output=True, text=True, timeout=240)
        print(run.stdout, run.stderr, sep="", flush=True)
        reason = "Invalid ghist: the bin width must be above 0, the last centre not below the first,"
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout.count("Submitted job array "), 2, run.stdout)
        self.assertIn("(5 tasks)", run.stdout)
        self.assertIn("8 of 8 done, 1 failed\n", run.stdout)
        for name, victim in victims.items():
            with open(victim) as f:
                self.assertEqual(f.read(), "victim\n", name)
            self.assertFalse(os.path.islink(os.path.join(archive, name)), name)
        self.assertTrue(run.stdout.endswith(f"8 observations: 7 ok, 1 failed\n  o6 (status 1): {reason}\n"),
                        run.stdout)
        h.check_archive(self, archive, 8, 6, reason)


if __name__ == "__main__":
    BUILD = h.Build(sys.argv.pop(1))
    if os.geteuid() != 0:
        print("skipped: a Slurm cluster of its own needs root")
        sys.exit(SKIP)
    missing = [p for p in ("munged", "slurmctld", "slurmd", "sbatch", "sinfo") if not shutil.which(p)]
    if missing:
        print("skipped: not installed:", " ".join(missing), "(make test-slurm installs slurm-wlm and munge)")
        sys.exit(SKIP)
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
