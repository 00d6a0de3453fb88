"""Threads, progress and interruption: Ctrl-C (SIGINT to the process, or
_thread.interrupt_main() from another thread) stops every run within one
round and raises KeyboardInterrupt, leaving no thread and no native memory
behind; the GIL is free while runs compute, so other Python threads go on
and two studies run at once on two threads; progress reaches a callback or a
tqdm bar."""

import _thread
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import zarno
from conftest import random_data

LONG = 10 ** 7  # rounds no test waits for (with tolerance 0, so no run settles first)


def tasks():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def wide():
    """Data whose rounds take some milliseconds at 8 patterns."""
    return random_data(4000, 300, patterns=6, seed=7)


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupt_main_stops_every_run_within_a_round(wide, threads):
    control = zarno.Control()
    seen = {}

    def progress(p):
        if not seen and p.rounds_done >= 3 and p.runs_in_flight == threads:
            seen.update(rounds=control.rounds_done, in_flight=p.runs_in_flight)
            _thread.interrupt_main()

    before = tasks()
    with pytest.raises(KeyboardInterrupt):
        zarno.run(wide[0], wide[1], ranks=(7, 8), chains=1, rounds=LONG, tolerance=0, threads=threads, progress=progress,
                  control=control)
    assert seen, "the study ended before it was interrupted"
    # One thread: the tick comes between two rounds of the run itself. Two:
    # each run in flight ends the round it is in (one more, should the
    # interrupted thread wait for a processor).
    assert control.rounds_done - seen["rounds"] <= (0 if threads == 1 else 2 * seen["in_flight"])
    assert control.cancelled and control.runs_in_flight == 0
    assert tasks() == before


def test_sigint_to_the_process_raises_keyboard_interrupt(tmp_path):
    script = tmp_path / "study.py"
    script.write_text(textwrap.dedent("""
        import json, os, signal, sys
        import numpy as np
        import zarno
        x = np.random.default_rng(1).uniform(0.1, 1.0, (2000, 200))
        control = zarno.Control()
        said = []
        def progress(p):
            if not said:
                said.append(p.rounds_done)
                print("running", flush=True)
        before = len(os.listdir("/proc/self/task"))
        try:
            zarno.run(x, ranks=(5, 6), chains=2, rounds=10 ** 7, threads=2, progress=progress, control=control)
            print(json.dumps({"outcome": "finished"}))
        except KeyboardInterrupt:
            print(json.dumps({"outcome": "KeyboardInterrupt", "in_flight": control.runs_in_flight,
                              "threads_before": before, "threads_after": len(os.listdir("/proc/self/task")),
                              "handler": signal.getsignal(signal.SIGINT) is signal.default_int_handler}))
    """))
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "running"
            child.send_signal(signal.SIGINT)
            said = json.loads(child.stdout.readline())
            child.wait(60)
        finally:
            if child.poll() is None:
                child.kill()
    assert said["outcome"] == "KeyboardInterrupt"
    assert said["in_flight"] == 0 and said["threads_after"] == said["threads_before"]
    assert said["handler"]  # Python's own Ctrl-C handler stays in place
    assert child.returncode == 0


@pytest.mark.slow
def test_a_hundred_interrupted_studies_leak_nothing():
    values, sigmas = random_data(1500, 120, seed=2)

    def interrupted():
        def progress(p):
            _thread.interrupt_main()
        with pytest.raises(KeyboardInterrupt):
            zarno.run(values, sigmas, ranks=(3, 5), chains=2, rounds=LONG, tolerance=0, threads=2, progress=progress)

    for _ in range(10):  # the allocator and the first imports settle
        interrupted()
    threads, resident = tasks(), resident_bytes()
    for _ in range(100):
        interrupted()
    assert tasks() == threads
    # A study holds some 10 MB here (the scaled data, three runs' arrays): a
    # hundred of them left behind would be a gigabyte.
    assert resident_bytes() - resident < 40e6


def test_other_python_threads_run_during_a_study(wide):
    """The GIL is free while runs compute: a thread doing pure-Python work
    finishes it while the study is still running."""
    started, finished = threading.Event(), threading.Event()
    control = zarno.Control()

    def work():
        started.wait()
        total = 0
        for i in range(2_000_000):
            total += i
        finished.set()

    def progress(p):
        started.set()
        if finished.is_set():
            control.cancel()

    worker = threading.Thread(target=work)
    worker.start()
    try:
        # Some 20 s of rounds at most: enough for the worker many times over.
        with pytest.raises(zarno.Cancelled):
            zarno.run(wide[0][:1000], ranks=(6, 6), chains=2, rounds=20000, threads=2, progress=progress,
                      control=control)
    finally:
        started.set()
        worker.join()


def test_two_studies_on_two_threads_give_what_each_gives_alone():
    inputs = [random_data(300, 40, seed=s) for s in (4, 5)]
    settings = dict(ranks=(2, 4), chains=2, rounds=200, threads=2, progress=False)
    alone = [zarno.run(v, s, **settings) for v, s in inputs]
    together, errors = [None, None], []

    def study(i):
        try:
            together[i] = zarno.run(inputs[i][0], inputs[i][1], **settings)
        except BaseException as e:  # noqa: B902 - reported below
            errors.append(e)

    pair = [threading.Thread(target=study, args=(i,)) for i in (0, 1)]
    for t in pair:
        t.start()
    for t in pair:
        t.join()
    assert not errors
    for a, b in zip(alone, together):
        for r in a.runs:
            q = b.run(r.k, r.chain)
            assert np.array_equal(r.amplitudes, q.amplitudes) and np.array_equal(r.patterns, q.patterns)


def test_progress_reaches_a_callback_and_its_errors_stop_the_study(wide):
    seen = []
    # tolerance=0 keeps every round: the last tick counts them all.
    zarno.run(wide[0][:500, :60], ranks=(2, 3), chains=2, rounds=3000, tolerance=0, threads=2,
              progress=seen.append)
    assert seen[-1].runs_done == seen[-1].runs == 4
    assert seen[-1].rounds_done == seen[-1].rounds == 4 * 3000
    assert all(a.rounds_done <= b.rounds_done for a, b in zip(seen, seen[1:]))
    # With the default stop the runs end early and the last tick says how far they went.
    seen.clear()
    stopped = zarno.run(wide[0][:500, :60], ranks=(2, 3), chains=2, rounds=3000, threads=2, progress=seen.append)
    assert seen[-1].rounds_done == sum(r.rounds for r in stopped.runs) < seen[-1].rounds == 4 * 3000

    class Stop(Exception):
        pass

    def fails(p):
        raise Stop("from the callback")

    before = tasks()
    with pytest.raises(Stop, match="from the callback"):
        zarno.run(wide[0], ranks=(4, 4), chains=2, rounds=LONG, tolerance=0, progress=fails)
    assert tasks() == before


def test_a_tqdm_bar_when_asked(capsys):
    pytest.importorskip("tqdm")
    values, _ = random_data(100, 20)
    zarno.run(values, ranks=(2, 2), chains=2, rounds=100, progress=True)
    assert "200/200" in capsys.readouterr().err
    zarno.run(values, ranks=(2, 2), chains=2, rounds=100, progress=False)
    assert capsys.readouterr().err == ""


def test_a_cancelled_control_cancels_from_any_thread(wide):
    control = zarno.Control()
    timer = threading.Timer(0.3, control.cancel)
    timer.start()
    with pytest.raises(zarno.Cancelled):
        zarno.run(wide[0][:800], ranks=(4, 5), chains=2, rounds=LONG, tolerance=0, progress=False, control=control)
    timer.join()
    with pytest.raises(zarno.Cancelled):  # it stays cancelled
        zarno.run(wide[0][:50, :10], ranks=2, chains=1, rounds=LONG, tolerance=0, progress=False, control=control)
