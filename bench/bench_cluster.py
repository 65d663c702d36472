"""Throughput of the notes pipeline on a dask.distributed cluster against a
plain loop, in the same run.

100,000 short visit notes (~190 bytes each) go through tokenize,
extract_entities, json.dumps, create_audit (fixed time stamp) and
verify_audit (scale_out.process_notes): serially in this process, and on a
LocalCluster of 2 worker processes with one thread each, over TCP on
loopback, in partitions of 2 MiB. Three ways are measured:

- files: the notes are in a JSON Lines file; each task names a 2 MiB byte
  range of it and the worker reads its notes itself (the serial loop reads
  the same file). The client sends a file name and two numbers per task.
- memory: the notes are in this process; each task carries its partition,
  packed (cutting and packing them counted in the cluster's time).
- memory, records: as memory, and every record comes back to this process
  as well (the serial loop keeps them too).

The serial and cluster runs alternate over several rounds, so that other
load on the machine moves both alike; the best of each is kept, and their
ratio printed, with the median of the per-round ratios.

What bounds the ratio on a 2-core machine is the CPU time the run spends
besides the pipeline's own work, since it shares the same two cores: this
process cutting, packing and sending partitions and reading results; the
scheduler (LocalCluster runs it in this process too); the workers
receiving, unpacking and sending back. The bench prints the CPU time of the
serial run, of the workers and of this process during the cluster run, and
the ratio they allow with both cores to themselves: serial CPU / ((workers'
CPU + this process's CPU) / 2), and the cores each run kept busy on
average. On a machine shared with other work, wall times fall short of
that bound (Linux shares the cores between sessions, so the cluster gets
about what the serial loop gets); the CPU figures hold.

Run: PYTHONPATH=<build dir> python3 bench/bench_cluster.py [--quick] [--notes N]
"""
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import scale_out  # noqa: E402

QUICK = "--quick" in sys.argv
NOTES = int(sys.argv[sys.argv.index("--notes") + 1]) if "--notes" in sys.argv else 100_000
ROUNDS = 2 if QUICK else 5
TIMESTAMP = 1_700_000_000


def cpu(proc):
    t = proc.cpu_times()
    return t.user + t.system


def main():
    try:
        import dask
        import psutil
        from dask.distributed import Client, LocalCluster
    except ImportError as e:
        print(f"skipped: dask.distributed is not installed for this interpreter ({e})")
        return

    # A worker samples its threads' stacks every 10 ms for the dashboard's
    # profile, and every process wakes 50 times a second to check that its
    # event loop is not blocked: on two cores busy with the work, both cost
    # a few percent that nobody here looks at.
    dask.config.set({"distributed.worker.profile.enabled": False,
                     "distributed.admin.tick.interval": "500ms",
                     "distributed.admin.system-monitor.interval": "2s"})
    notes = scale_out.generate_corpus(NOTES, seed=2024)
    size = sum(len(text.encode()) for _, text in notes)
    workdir = tempfile.mkdtemp(prefix="bench_cluster_")
    path = os.path.join(workdir, "notes.jsonl")
    scale_out.write_notes_file(path, notes)
    file_size = os.path.getsize(path)
    print(f"{len(notes):,} notes, {size / 1e6:.1f} MB of text "
          f"(mean {size / len(notes):.0f} bytes), "
          f"{file_size / 1e6:.1f} MB as JSON Lines; {os.cpu_count()} cores; "
          f"2 workers of 1 thread; partitions of {scale_out.PARTITION_BYTES >> 10} KiB; "
          f"best of {ROUNDS} rounds")
    ways = [
        ("files, counts returned", False,
         lambda: scale_out.process_notes(scale_out.read_notes_range(path, 0, file_size),
                                         TIMESTAMP, keep_records=False),
         lambda client: scale_out.process_files_on_cluster(client, [path], TIMESTAMP,
                                                           keep_records=False)),
        ("memory, counts returned", False,
         lambda: scale_out.process_notes(notes, TIMESTAMP, keep_records=False),
         lambda client: scale_out.process_on_cluster(client, notes, TIMESTAMP, keep_records=False)),
        ("memory, records returned", True,
         lambda: scale_out.process_notes(notes, TIMESTAMP),
         lambda client: scale_out.process_on_cluster(client, notes, TIMESTAMP)),
    ]
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, protocol="tcp",
                          host="127.0.0.1", dashboard_address=None) as cluster, \
                Client(cluster) as client:
            workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
            me = psutil.Process()
            # Warm the workers up (imports, first pickles) and check their
            # results against the serial ones before timing anything.
            sample = notes[:5000]
            check = scale_out.process_on_cluster(client, sample, TIMESTAMP,
                                                 partition_bytes=256 << 10)
            assert scale_out.records_of(check) == scale_out.process_serially(sample, TIMESTAMP)
            expected = scale_out.process_notes(notes, TIMESTAMP, keep_records=False)
            for label, keep_records, serially, on_cluster in ways:
                run_rounds(label, keep_records, serially, on_cluster, client, workers, me, expected)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def run_rounds(label, keep_records, serially, on_cluster, client, workers, me, expected):
    serial_times, serial_cpu, cluster_times, cluster_cpu, ratios = [], [], [], [], []
    partitions = 0
    for _ in range(ROUNDS):
        c0, t0 = time.process_time(), time.perf_counter()
        serial = serially()
        serial_times.append(time.perf_counter() - t0)
        serial_cpu.append(time.process_time() - c0)
        del serial

        w0, c0 = sum(map(cpu, workers)), cpu(me)
        t0 = time.perf_counter()
        results = on_cluster(client)
        cluster_times.append(time.perf_counter() - t0)
        cluster_cpu.append((sum(map(cpu, workers)) - w0, cpu(me) - c0))
        ratios.append(serial_times[-1] / cluster_times[-1])
        partitions = len(results)
        assert sum(r["notes"] for r in results) == expected["notes"]
        assert sum(r["tokens"] for r in results) == expected["tokens"]
        assert not any(r["unverified"] for r in results)
        assert all((r["records"] is not None) == keep_records for r in results)
        del results
    best_serial, best_cluster = min(serial_times), min(cluster_times)
    worker_cpu, client_cpu = min(cluster_cpu, key=sum)
    bound = min(serial_cpu) / ((worker_cpu + client_cpu) / 2)
    print(f"{label}: serial {best_serial:.2f} s ({NOTES / best_serial:,.0f} notes/s), "
          f"cluster {best_cluster:.2f} s ({NOTES / best_cluster:,.0f} notes/s, "
          f"{partitions} tasks): {best_serial / best_cluster:.2f}x serial "
          f"(median of rounds {statistics.median(ratios):.2f}x)")
    # How much of the machine the runs got: on a machine busy with other
    # work the scheduler shares the cores between sessions, not processes
    # (Linux autogroups), so the cluster's three processes may get no more
    # than the serial loop's one, and the ratio then sinks towards 1x.
    cores = statistics.median(
        (w + c) / t for (w, c), t in zip(cluster_cpu, cluster_times))
    serial_cores = statistics.median(c / t for c, t in zip(serial_cpu, serial_times))
    print(f"    CPU: serial {min(serial_cpu):.2f} s; cluster run: workers {worker_cpu:.2f} s, "
          f"this process (client, scheduler) {client_cpu:.2f} s; "
          f"with 2 idle cores at most {bound:.2f}x; cores in use: "
          f"serial {serial_cores:.2f}, cluster {cores:.2f}")


if __name__ == "__main__":
    main()
