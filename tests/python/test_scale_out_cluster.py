"""The scale-out example on a real dask.distributed cluster, over TCP: a
LocalCluster of worker processes on loopback, the same with a worker killed
while it runs tasks, and a scheduler and two workers started as `dask`
commands, each in a network namespace of its own, reached by address. Every
result must equal a serial run of the same input, and every audit verify.

Named to run after test_scale_out.py: a dask.distributed client leaves
threads behind in this process (a pool for deserialising large messages),
and that file's fork test wants a process without them."""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import pytest

import quarn_py
from conftest import EXAMPLES, SANITIZED, scale_out_example

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="cluster runs of tens of thousands of notes are too slow under ASan")

distributed = pytest.importorskip("distributed")

TIMESTAMP = 1_700_000_000
NOTES = 20_000
PROGRAMS = 2_000
# Smaller than the example's default, so that each run has a few dozen tasks
# to spread, retry and lose.
PARTITION_BYTES = 160 << 10
# A bound on every cluster run, so that a hang fails the test rather than
# the whole job.
RUN_SECONDS = 180


@pytest.fixture(scope="module", autouse=True)
def no_profiler_thread():
    # The scheduler of a LocalCluster runs in this process and would start a
    # thread that samples stacks every 10 ms, for good: the thread tests that
    # run later in this process time themselves against other threads.
    import dask

    with dask.config.set({"distributed.worker.profile.enabled": False}):
        yield


@pytest.fixture(scope="module")
def example():
    return scale_out_example()


@pytest.fixture(scope="module")
def notes(example):
    return example.generate_corpus(NOTES, seed=21)


@pytest.fixture(scope="module")
def serial_records(example, notes):
    return example.process_serially(notes, TIMESTAMP)


@pytest.fixture(scope="module")
def programs(example):
    return example.generate_programs(PROGRAMS, seed=21)


@pytest.fixture(scope="module")
def serial_programs(example, programs):
    return [example.compile_and_run(s) for s in programs]


def local_cluster():
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    protocol="tcp", host="127.0.0.1", dashboard_address=None)


def check_notes(example, results, notes, serial_records):
    """Every partition exactly once, its records those of the serial run, and
    every audit verifies (by the workers and again here)."""
    indices = [r["index"] for r in results]
    assert sorted(indices) == list(range(len(results))), Counter(indices).most_common(3)
    assert sum(r["notes"] for r in results) == len(notes)
    records = example.records_of(results)
    assert records == serial_records
    assert [r for r in results if r["unverified"]] == []
    assert all(quarn_py.verify_audit(r["audit"], r["entities_json"]) for r in records)
    types = Counter()
    for r in results:
        types.update(r["entity_types"])
    assert types == Counter(e["type"] for r in serial_records
                            for e in json.loads(r["entities_json"]))
    assert sum(r["tokens"] for r in results) == sum(r["token_count"] for r in serial_records)


def check_programs(compiled, serial_programs):
    assert compiled == serial_programs
    # Both kinds of outcome travelled.
    assert {ok for ok, _, _ in compiled} == {True, False}
    assert all(run["success"] for ok, _, run in compiled if ok)


def test_local_cluster_runs_notes_and_programs_as_serially(example, notes, serial_records,
                                                           programs, serial_programs, tmp_path):
    with local_cluster() as cluster, distributed.Client(cluster) as client:
        results = example.process_on_cluster(client, notes, TIMESTAMP,
                                             partition_bytes=PARTITION_BYTES,
                                             timeout=RUN_SECONDS)
        assert len(results) > 20
        check_notes(example, results, notes, serial_records)
        check_programs(example.compile_on_cluster(client, programs, timeout=RUN_SECONDS),
                       serial_programs)

        # The notes in a file that the workers read, and the records written
        # by the workers: one whole file per partition, the same lines as the
        # serial records.
        source = notes_file(example, notes, tmp_path)
        out = tmp_path / "out"
        out.mkdir()
        counts = example.process_files_on_cluster(client, [source], TIMESTAMP, out_dir=str(out),
                                                  partition_bytes=PARTITION_BYTES,
                                                  timeout=RUN_SECONDS)
    assert len(counts) > 20 and all(r["records"] is None for r in counts)
    assert sum(r["notes"] for r in counts) == len(notes)
    assert not any(r["unverified"] for r in counts)
    files = sorted(out.iterdir())
    assert [f.name for f in files] == [f"part-{i:05d}.jsonl" for i in range(len(counts))]
    written = [json.loads(line) for f in files for line in f.read_text("utf-8").splitlines()]
    assert written == serial_records


def notes_file(example, notes, folder):
    path = folder / "notes.jsonl"
    example.write_notes_file(path, notes)
    return str(path)


@pytest.mark.parametrize("source", ["memory", "files"])
def test_a_worker_killed_mid_run_loses_and_doubles_nothing(example, notes, serial_records,
                                                          source, tmp_path):
    with local_cluster() as cluster, distributed.Client(cluster) as client:
        pids = client.run(os.getpid)
        if source == "memory":
            futures = example.submit_notes(client, notes, TIMESTAMP,
                                           partition_bytes=PARTITION_BYTES)
        else:
            futures = example.submit_files(client, [notes_file(example, notes, tmp_path)],
                                           TIMESTAMP, partition_bytes=PARTITION_BYTES)
        # Kill a worker once some partitions are done and it is working on
        # others: those must be run again elsewhere, exactly once.
        victim = None
        deadline = time.monotonic() + 60
        for _ in range(20_000):
            if sum(f.done() for f in futures) >= 2:
                busy = [w for w, keys in client.processing().items() if keys and w in pids]
                if busy:
                    victim = busy[0]
                    break
            if time.monotonic() > deadline:
                break
            time.sleep(0.002)
        assert victim is not None, "no worker was seen working"
        assert sum(f.done() for f in futures) < len(futures), "the run finished before the kill"
        os.kill(pids[victim], signal.SIGKILL)
        results = example.gather(client, futures, RUN_SECONDS)
        assert victim not in client.scheduler_info()["workers"]
    check_notes(example, results, notes, serial_records)


# --- several hosts: network namespaces -----------------------------------------

def _ip(*args, check=True):
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30, check=check)


def _free_subnet():
    """A 10.250.N.0/24 that no interface of this machine uses yet (another
    run's leftover, or another test on the machine)."""
    used = _ip("-4", "-o", "addr", "show").stdout
    for k in range(256):
        n = (os.getpid() + k) % 250 + 3
        if f" 10.250.{n}." not in used:
            return f"10.250.{n}"
    pytest.fail("no free 10.250.N.0/24 subnet")


def _stop(proc):
    if proc.poll() is None:
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                proc.wait(timeout=wait)
                break
            except subprocess.TimeoutExpired:
                continue
    # The process group may outlive its leader (a nanny's worker).
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


@pytest.fixture
def namespaced_cluster(tmp_path):
    """A scheduler and two workers (`dask scheduler`, `dask worker`), each in
    a network namespace of its own joined to the others by a bridge: three
    hosts with addresses of their own. Yields the scheduler's address."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    if shutil.which("ip") is None:
        pytest.skip("the ip command (iproute2) is missing")
    dask_cli = Path(sys.executable).parent / "dask"
    if not dask_cli.exists():
        pytest.skip(f"no dask command next to {sys.executable}")
    tag = f"q{os.getpid()}"
    bridge = f"{tag}br"
    hosts = [f"{tag}s", f"{tag}w1", f"{tag}w2"]
    made_ns, procs, logs = [], [], []
    probe = _ip("netns", "add", hosts[0], check=False)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a network namespace: {probe.stderr.strip()}")
    # A namespace can be made but not entered where /sys cannot be mounted
    # afresh (a chroot without it, say).
    probe = _ip("netns", "exec", hosts[0], "ip", "link", "set", "lo", "up", check=False)
    if probe.returncode != 0:
        _ip("netns", "del", hosts[0], check=False)
        pytest.skip(f"cannot run a command in a network namespace: {probe.stderr.strip()}")
    made_ns.append(hosts[0])
    made_bridge = False
    try:
        subnet = _free_subnet()
        _ip("link", "add", bridge, "type", "bridge")
        made_bridge = True
        _ip("addr", "add", f"{subnet}.1/24", "dev", bridge)
        _ip("link", "set", bridge, "up")
        addresses = []
        for k, ns in enumerate(hosts):
            if ns not in made_ns:
                _ip("netns", "add", ns)
                made_ns.append(ns)
            outer, inner = f"{ns}o", f"{ns}i"
            _ip("link", "add", outer, "type", "veth", "peer", "name", inner)
            _ip("link", "set", inner, "netns", ns)
            _ip("link", "set", outer, "master", bridge)
            _ip("link", "set", outer, "up")
            address = f"{subnet}.{10 + k}"
            _ip("netns", "exec", ns, "ip", "addr", "add", f"{address}/24", "dev", inner)
            _ip("netns", "exec", ns, "ip", "link", "set", inner, "up")
            _ip("netns", "exec", ns, "ip", "link", "set", "lo", "up")
            addresses.append(address)

        env = dict(os.environ)
        # The workers (and the scheduler, which reads the task graph) import
        # the example's module by name, as they would a deployed pipeline.
        env["PYTHONPATH"] = os.pathsep.join([str(EXAMPLES), env.get("PYTHONPATH", "")])
        scheduler = f"tcp://{addresses[0]}:8786"
        commands = [[str(dask_cli), "scheduler", "--host", addresses[0], "--port", "8786",
                     "--no-dashboard", "--idle-timeout", "300"]]
        commands += [[str(dask_cli), "worker", scheduler, "--host", address, "--nthreads", "1",
                      "--nworkers", "1", "--no-dashboard", "--death-timeout", "120",
                      "--name", ns] for ns, address in zip(hosts[1:], addresses[1:])]
        for ns, command in zip(hosts, commands):
            log = open(tmp_path / f"{ns}.log", "wb")
            logs.append(log)
            procs.append(subprocess.Popen(["ip", "netns", "exec", ns, *command], env=env,
                                          stdout=log, stderr=subprocess.STDOUT,
                                          start_new_session=True))
        yield scheduler, addresses
    finally:
        for proc in procs:
            _stop(proc)
        for log in logs:
            log.close()
        for ns in made_ns:
            _ip("netns", "del", ns, check=False)
        if made_bridge:
            _ip("link", "del", bridge, check=False)
        if any(proc.returncode not in (0, -signal.SIGTERM, -signal.SIGKILL) for proc in procs):
            for f in sorted(tmp_path.glob("*.log")):
                print(f"--- {f.name}\n{f.read_text(errors='replace')[-3000:]}")


def connect(address, procs_hint, attempts=60, seconds=90):
    deadline = time.monotonic() + seconds
    last = None
    for _ in range(attempts):
        try:
            return distributed.Client(address, timeout="3s")
        except OSError as e:
            last = e
        if time.monotonic() > deadline:
            break
        time.sleep(0.5)
    pytest.fail(f"no scheduler at {address} ({procs_hint}): {last}")


def test_scheduler_and_workers_on_hosts_of_their_own(example, notes, serial_records, programs,
                                                     serial_programs, namespaced_cluster, tmp_path):
    scheduler, addresses = namespaced_cluster
    with connect(scheduler, "dask scheduler in its namespace") as client:
        client.wait_for_workers(2, timeout=90)
        workers = client.scheduler_info()["workers"]
        assert sorted(w.split("//")[1].rsplit(":", 1)[0] for w in workers) == addresses[1:]
        futures = example.submit_notes(client, notes, TIMESTAMP, partition_bytes=PARTITION_BYTES)
        results = example.gather(client, futures, RUN_SECONDS)
        # Both hosts did part of the work.
        assert len({w for held in client.who_has(futures).values() for w in held}) == 2
        check_notes(example, results, notes, serial_records)
        check_programs(example.compile_on_cluster(client, programs, timeout=RUN_SECONDS),
                       serial_programs)
        # Notes in a file (storage the three hosts share), read by the workers.
        results = example.process_files_on_cluster(client, [notes_file(example, notes, tmp_path)],
                                                   TIMESTAMP, partition_bytes=PARTITION_BYTES,
                                                   timeout=RUN_SECONDS)
        check_notes(example, results, notes, serial_records)
