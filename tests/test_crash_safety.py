# A preparation killed at any moment leaves under the final name either the complete old
# index or the complete new one, byte for byte, and the next preparation recovers.
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import rivezor

TRIALS = 60
ROWS, DIMS = 40000, 64  # 10 MB: the write takes long enough to be hit at many points

# Holds the interpreter, NumPy, rivezor and the input ready, and forks one preparation per
# request, so a trial costs a fork rather than an interpreter start. The fork happens before
# any parallel work in this process: each preparation starts its own worker pool.
ZYGOTE = textwrap.dedent(
    """
    import os, sys, time, numpy as np, rivezor
    rows, dims, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    x = np.random.default_rng(99).standard_normal((rows, dims)).astype(np.float32)
    print("ready", flush=True)
    for line in sys.stdin:
        metric = line.split()[1]
        start = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            try:
                rivezor.py_prepare_bin_from_embeddings(x, dims, rows, "crash", "f32", metric=metric, output_dir=out)
            finally:
                os._exit(0)
        print("started", pid, flush=True)
        sys.stdin.readline()  # "reap": until then the pid stays ours, even as a zombie
        _, status = os.waitpid(pid, 0)
        how = "killed" if os.WIFSIGNALED(status) else "exited"
        print(how, time.perf_counter() - start, flush=True)
    """
)


class Zygote:
    def __init__(self, out):
        self.proc = subprocess.Popen([sys.executable, "-c", ZYGOTE, str(ROWS), str(DIMS), str(out)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        assert self.proc.stdout.readline().strip() == "ready"

    def trial(self, metric, kill_after=None):
        """One preparation, SIGKILLed after `kill_after` seconds (None: let it finish)."""
        self.proc.stdin.write(f"run {metric}\n")
        word, pid = self.proc.stdout.readline().split()
        assert word == "started"
        if kill_after is not None:
            time.sleep(kill_after)
            os.kill(int(pid), signal.SIGKILL)
        self.proc.stdin.write("reap\n")
        how, seconds = self.proc.stdout.readline().split()
        return how, float(seconds)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def test_killed_preparations_leave_old_or_new_index(tmp_path):
    final = tmp_path / "crash_f32.bin"
    temp = tmp_path / "crash_f32.tmp"
    old = np.random.default_rng(1).standard_normal((300, DIMS)).astype(np.float32)
    rivezor.py_prepare_bin_from_embeddings(old, DIMS, 300, "crash", "f32", metric="dot", output_dir=str(tmp_path))
    old_bytes = final.read_bytes()

    zygote = Zygote(tmp_path)
    try:
        # The new file of each metric, and how long writing it takes here and now.
        new_bytes, duration = {}, {}
        for metric in ("cosine", "dot"):
            how, seconds = zygote.trial(metric)
            assert how == "exited"
            new_bytes[metric], duration[metric] = final.read_bytes(), seconds
            assert new_bytes[metric] != old_bytes and len(new_bytes[metric]) == 12 + 4 * ROWS * DIMS
            final.write_bytes(old_bytes)

        chooser = random.Random(20240229)
        outcomes = {"old kept": 0, "old kept, temp left": 0, "new in place": 0}
        for trial in range(TRIALS):
            metric = ("cosine", "dot")[trial % 2]
            if not final.exists() or final.read_bytes() != old_bytes:
                final.write_bytes(old_bytes)
            delay = chooser.uniform(0.0, 1.1 * duration[metric])
            how, _ = zygote.trial(metric, kill_after=delay)
            assert final.exists(), f"trial {trial}: no index under the final name (killed after {delay:.4f}s)"
            data = final.read_bytes()
            assert data in (old_bytes, new_bytes[metric]), (
                f"trial {trial}: the final file is neither the old nor the new index ({len(data)} bytes, "
                f"killed after {delay:.4f}s, {how})")
            if data == new_bytes[metric]:
                outcomes["new in place"] += 1
            elif temp.exists():
                outcomes["old kept, temp left"] += 1
            else:
                outcomes["old kept"] += 1
            leftovers = set(os.listdir(tmp_path)) - {final.name, temp.name}
            assert not leftovers, f"trial {trial}: unexpected files {sorted(leftovers)}"
        print(f"\n{TRIALS} killed preparations: {outcomes}")
        # The kills must have landed inside the write, not only before or after it.
        assert outcomes["old kept, temp left"] > 0, outcomes

        # A leftover temporary file never stops the next preparation.
        how, _ = zygote.trial("dot")
        assert how == "exited"
        assert final.read_bytes() == new_bytes["dot"]
        assert sorted(os.listdir(tmp_path)) == [final.name]
    finally:
        zygote.close()
