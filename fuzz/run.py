"""Runs every fuzz harness for a bounded time (or number of executions) and
reports, per harness, the executions, their rate and the findings (saved
under the findings directory).

    python fuzz/run.py --build build/fuzz --seconds 60 [--python .venv/bin/python] [--only NAME]
    python fuzz/run.py --build build/fuzz --total 3600 ...    # the hour shared among the harnesses
    python fuzz/run.py --build build/fuzz --runs 10000000 --only engines

Each harness starts from its seed corpus (fuzz/corpus/NAME) and the saved
findings (fuzz/regressions/NAME), and grows a working corpus of its own under
the build directory (kept from one run to the next).  Exits 1 when any
harness found something.
"""

import argparse
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
NATIVE = ["engines", "text", "tokenizer"]
# What each harness's time share is weighed by under --total: the engines
# and text harnesses run the slowest inputs and have the most to explore.
WEIGHT = {"engines": 3, "text": 3, "tokenizer": 1, "python": 1}


def run_one(name, command, build, seconds, runs, max_len):
    work = build / "work" / name
    findings = build / "findings" / name
    work.mkdir(parents=True, exist_ok=True)
    findings.mkdir(parents=True, exist_ok=True)
    before = set(findings.iterdir())
    seeds = [str(d) for d in (HERE / "corpus" / name, HERE / "regressions" / name) if d.is_dir()]
    limit = [f"-runs={runs}"] if runs else [f"-max_total_time={seconds}"]
    # One process, so no corpus to re-read from others; energy scaled down
    # for slow inputs, so that the rare large ones do not take over.  The
    # fuzzer keeps a list of rare features and searches it for every feature
    # of every run until one of them has been seen 255 times; a much lower
    # bound trims it early: it took a quarter of the engines harness's time
    # off, for the same coverage after 60,000 runs.
    args = command + limit + [
        "-print_final_stats=1", f"-max_len={max_len}", "-reload=0", "-entropic_scale_per_exec_time=1",
        "-entropic_feature_frequency_threshold=16",
        "-timeout=30", "-rss_limit_mb=4096", f"-artifact_prefix={findings}/",
        str(work), *seeds,
    ]
    log = build / f"{name}.log"
    print(f"fuzz {name:<10} {' '.join(args)}", flush=True)
    started = time.monotonic()
    cpu_before = _children_cpu()
    with open(log, "w") as out:
        code = subprocess.call(args, stdout=out, stderr=subprocess.STDOUT)
    elapsed = time.monotonic() - started
    cpu = _children_cpu() - cpu_before
    text = log.read_text(errors="replace")
    executions = sum(int(m) for m in re.findall(r"stat::number_of_executed_units:\s*(\d+)", text))
    if executions == 0:  # stopped before the final stats: take the last status line
        counts = re.findall(r"^#(\d+)\s", text, re.M)
        executions = int(counts[-1]) if counts else 0
    new = sorted(set(findings.iterdir()) - before)
    found = len(new) if new else (1 if code != 0 else 0)
    return executions, found, elapsed, cpu, new, log


def _children_cpu():
    """Processor seconds of the finished child processes so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=Path, default=Path("build/fuzz"))
    parser.add_argument("--seconds", type=int, default=60, help="per harness")
    parser.add_argument("--total", type=int, help="seconds for all harnesses together, shared by weight")
    parser.add_argument("--runs", type=int, help="executions per harness instead of a time")
    parser.add_argument("--python", help="interpreter with palimp and atheris, for the Python harness")
    parser.add_argument("--only", action="append", help="run only these harnesses")
    opts = parser.parse_args()
    build = opts.build.resolve()

    harnesses = [(n, [str(build / f"fuzz_{n}")], 1024) for n in NATIVE]
    if opts.python:
        harnesses.append(("python", [opts.python, str(HERE / "python_fuzz.py")], 1024))
    if opts.only:
        harnesses = [h for h in harnesses if h[0] in opts.only]
    weights = sum(WEIGHT[h[0]] for h in harnesses)

    rows = []
    for name, command, max_len in harnesses:
        seconds = opts.seconds if opts.total is None else max(1, opts.total * WEIGHT[name] // weights)
        executions, found, elapsed, cpu, new, log = run_one(name, command, build, seconds, opts.runs, max_len)
        rows.append((name, executions, found, elapsed))
        # On a shared machine the harness gets less than a processor: the
        # rate per processor second is what the harness itself achieves.
        print(f"fuzz {name:<10} {executions:>10} executions in {elapsed:5.0f} s "
              f"({executions / max(elapsed, 1e-9):.0f}/s; {executions / max(cpu, 1e-9):.0f} per processor second), "
              f"{found} findings", flush=True)
        for path in new:
            print(f"  finding: {path}  (log: {log})", flush=True)
        if found and not new:
            print(f"  the harness stopped with an error: see {log}", flush=True)
    total = sum(r[1] for r in rows)
    findings = sum(r[2] for r in rows)
    print(f"fuzz total      {total:>10} executions, {findings} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
