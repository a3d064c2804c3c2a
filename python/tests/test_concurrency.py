"""Two processes sharing a multi-process store; threads hammering one store."""

import os
import subprocess
import sys
import threading

import corvane_vorn
from corvane_vorn import Store

KEYS = 400

CHILD = """
import sys, time, corvane_vorn
root, count = sys.argv[1], int(sys.argv[2])
s = corvane_vorn.Store("mp", root, multi_process=True)
print("ready", flush=True)
sys.stdin.readline()
for i in range(count):
    s.set_int64(f"child-{i}", i * 7)
    s["both"] = f"child {i}"
deadline = time.time() + 60
while len(s) < 2 * count + 1:
    if time.time() > deadline:
        sys.exit(f"saw {len(s)} keys")
    time.sleep(0.01)
for i in range(count):
    if s[f"parent-{i}"] != "p" * (i % 50):
        sys.exit(f"parent-{i} reads {s[f'parent-{i}']!r}")
s.close()
print("done", flush=True)
"""


def test_two_processes_share_a_multi_process_store(root):
    changed = []
    corvane_vorn.on_content_changed(changed.append)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(corvane_vorn.__file__))
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, root, str(KEYS)],
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        s = Store("mp", root, multi_process=True)
        assert child.stdout.readline() == "ready\n"
        child.stdin.write("go\n")
        child.stdin.flush()
        for i in range(KEYS):  # while the child writes too
            s[f"parent-{i}"] = "p" * (i % 50)
            s["both"] = f"parent {i}"
        out, err = child.communicate(timeout=120)
        assert child.returncode == 0, err
        assert out == "done\n"
        # Every write of the child is seen here, without reopening.
        assert len(s) == 2 * KEYS + 1
        assert [s.get_int64(f"child-{i}") for i in range(KEYS)] == [i * 7 for i in range(KEYS)]
        assert s["both"] in (f"parent {KEYS - 1}", f"child {KEYS - 1}")
        assert "mp" in changed
        s.close()
    finally:
        corvane_vorn.on_content_changed(None)
        if child.poll() is None:
            child.kill()
            child.wait()


def test_threads_hammering_one_store(root, library_log):
    threads_count, rounds = 8, 500
    errors = []

    def work(t):
        try:
            # Each thread its own handle on the one instance; handles close
            # while other threads are still busy with theirs.
            s = Store("hammer", root)
            for i in range(rounds):
                s.set_int64(f"t{t}-n", i)
                assert s.get_int64(f"t{t}-n") == i
                s[f"t{t}-k{i % 20}"] = f"{t}:{i}"
                s["shared"] = f"{t}:{i}"
                assert s["shared"].count(":") == 1
                if i % 3 == 0:
                    del s[f"t{t}-k{i % 20}"]
                if t == 0 and i % 50 == 0:
                    s.trim()  # rewrites under the threads (and logs at INFO)
                    assert len(s) >= 1 and s.inspect().key_count >= 1
            s.close()
        except BaseException as e:  # reported below, with the thread's number
            errors.append((t, repr(e)))

    holder = Store("hammer", root)
    threads = [threading.Thread(target=work, args=(t,)) for t in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck (deadlock?)"
    assert errors == []

    def expected():
        values = {"shared": None}
        for t in range(threads_count):
            values[f"t{t}-n"] = rounds - 1
            for slot in range(20):
                last = max(i for i in range(rounds) if i % 20 == slot)
                if last % 3 != 0:
                    values[f"t{t}-k{slot}"] = f"{t}:{last}"
        return values

    def check(s):
        want = expected()
        assert sorted(s) == sorted(want)
        for key, value in want.items():
            if key.endswith("-n"):
                assert s.get_int64(key) == value
            elif value is not None:
                assert s[key] == value
        assert s["shared"] in {f"{t}:{rounds - 1}" for t in range(threads_count)}

    check(holder)
    holder.close()
    with Store("hammer", root) as s:  # reopened from the files
        check(s)
    # The log handler ran on the working thread that trims, under the store's locks.
    trims = [r for r in library_log.records if r.name == "corvane_vorn" and r.funcName == "trim"]
    assert trims and all(r.thread != threading.main_thread().ident for r in trims)


FORKED = """
import os, sys, corvane_vorn
s = corvane_vorn.Store("forked", sys.argv[1], multi_process=True)
s["k"] = "v"
pid = os.fork()
if pid == 0:
    # The child shares the parent's locks: its handle must refuse.
    try:
        s["k"]
    except ValueError:
        sys.exit(0)  # a normal exit, with the module's exit hook
    sys.exit(3)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
s["k2"] = "v2"
assert s["k"] == "v" and sorted(s) == ["k", "k2"]
s.close()
print("ok")
"""


def test_handles_do_not_work_in_a_forked_child(root):
    from conftest import run_python

    result = run_python(FORKED, root)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_closing_a_handle_other_threads_are_using(root):
    # The only handle, so close() destroys the instance under the threads:
    # each call either completes or raises ValueError, and nothing is torn.
    s = Store("closing", root)
    started = threading.Barrier(5)
    outcomes = {}

    def work(t):
        started.wait()
        i = 0
        try:
            while True:
                s[f"t{t}"] = str(i)
                assert s[f"t{t}"] == str(i)
                i += 1
        except ValueError as e:
            outcomes[t] = (i, str(e))
        except BaseException as e:
            outcomes[t] = (i, repr(e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    while len(s) < 4:
        pass  # until every thread has written
    s.close()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert sorted(outcomes) == [0, 1, 2, 3]
    assert all("is closed" in message for _, message in outcomes.values()), outcomes
    with Store("closing", root) as again:
        for t, (i, _) in outcomes.items():
            # The last write that started before the close: i, or i - 1 when
            # the close came between the write and its check.
            assert int(again[f"t{t}"]) in (i, i - 1)
