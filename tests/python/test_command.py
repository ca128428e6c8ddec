"""The `palimp` command: compress and restore give every conversation back,
in order, whatever runs the work; bad input is named by file and line; an
interrupted or failed run leaves no output behind."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import palimp
from conftest import ROOT, require

CORPORA = ROOT.parent / "shared" / "corpora"
# The console script installed beside this interpreter, as a wheel installs it.
COMMAND = [str(Path(sys.executable).with_name("palimp"))]
MODULE = [sys.executable, "-m", "palimp_cli"]


def palimp_command(*args, command=COMMAND, ok=True, **kwargs):
    """Runs the command; `ok` whether it must succeed, None for either."""
    result = subprocess.run([*command, *map(str, args)], capture_output=True, timeout=300, **kwargs)
    assert ok is None or (result.returncode == 0) == ok, result.stderr.decode()
    return result


def conversations():
    """Successive transcripts with multi-byte text, a raw line separator
    inside a string, and absent and empty messages; about 1.5 MB, so that
    the work is cut into several batches."""
    turns = ["user: Wie spät ist es?\n\n", "assistant: Zwölf Uhr — 正午 😀\u2028.\n\n",
             "user: Danke! Und morgen?\n\n", "assistant: Morgen auch, um zwölf Uhr.\n\n"]
    out = []
    for k in range(6000):
        messages, text = [], ""
        for t in range(k % 4 + 1):
            text += turns[(t + k) % 4].replace("Uhr", f"Uhr {k}")
            messages.append(text)
        if k % 5 == 0:
            messages.insert(1, None)
        if k % 7 == 0:
            messages.append("")
        out.append(messages)
    return out


def test_round_trip_in_order_whatever_runs_the_work(tmp_path):
    corpus = conversations()
    lines = [json.dumps(c, ensure_ascii=False) for c in corpus]
    lines.insert(10, "")  # skipped, but counted in the line numbers
    source = tmp_path / "corpus.jsonl"
    source.write_text("\n".join(lines), encoding="utf-8")  # no final line break

    palimp_command("compress", source, tmp_path / "serial.jsonl", "--jobs", "0")
    palimp_command("compress", source, tmp_path / "two.jsonl", "--jobs", "2", command=MODULE)
    piped = palimp_command("compress", "-", "-", input=source.read_bytes()).stdout
    written = (tmp_path / "serial.jsonl").read_bytes()
    assert (tmp_path / "two.jsonl").read_bytes() == written == piped

    records = [json.loads(line) for line in written.decode().split("\n")[:-1]]
    assert [r["line"] for r in records] == [n for n in range(1, len(corpus) + 2) if n != 11]
    for messages, record in zip(corpus[:50], records):
        assert record["ratio"] == palimp.PalimpText.from_texts(messages).compression_ratio()
    assert sorted(r["ratio"] for r in records)[len(records) // 2] < 0.8  # references were made

    palimp_command("restore", tmp_path / "two.jsonl", tmp_path / "restored.jsonl", "--jobs", "2")
    assert (tmp_path / "restored.jsonl").read_text(encoding="utf-8").split("\n") == [line for line in lines if line] + [""]

    options = ["--approximate", "--min-match-len", "8", "--cap-len", "16", "--ncap", "3"]
    approximate = palimp_command("compress", source, "-", *options).stdout
    assert approximate != written
    restored = palimp_command("restore", "-", "-", input=approximate).stdout.decode().split("\n")
    assert [json.loads(line) for line in restored[:-1]] == corpus

    stats = palimp_command("stats", source, "--jobs", "2").stdout.decode()
    assert f"conversations  {len(corpus):,}\n" in stats and "lower is better" in stats


@pytest.mark.skipif(not CORPORA.is_dir(), reason=f"needs the development corpora at {CORPORA}, "
                                                 "which are not part of the project")
@pytest.mark.parametrize("name", ["fastchat_dummy_transcripts.jsonl", "tmux_changes_versions.jsonl.zst"])
def test_development_corpora_round_trip(tmp_path, name):
    zstandard = require("zstandard")
    palimp_command("compress", CORPORA / name, tmp_path / "segments.jsonl")
    restored = palimp_command("restore", tmp_path / "segments.jsonl", "-").stdout
    with open(CORPORA / name, "rb") as f:
        original = zstandard.ZstdDecompressor().stream_reader(f).read() if name.endswith(".zst") else f.read()
    assert restored == original


@pytest.mark.parametrize("command, content, line, reason", [
    ("compress", b'["a"]\n\n[1]\n', 3, "message 0 is neither a string nor null"),
    ("compress", b'["a"]\n["b", {"c": 1}]\n', 2, "message 1 is neither a string nor null"),
    ("compress", b'["a"]\n{"c": 1}\n', 2, "not a JSON list of messages"),
    ("compress", b'["a"]\n["b", \n', 2, "not JSON: Expecting value at column 7"),
    ("compress", b'["a"]\n["\xff"]\n', 2, "not UTF-8"),
    ("compress", b'["\\ud800"]\n', 1, "message 0 holds a lone surrogate"),
    ("restore", b'["a"]\n', 1, 'not a JSON object with "segments"'),
    ("restore", b'{"segments": [["a"], [[2, 0, 1]]]}\n', 1, "message 1, segment 0: refers to message 2, which is not an earlier"),
    ("restore", b'{"segments": [null, [[0, 0, 1]]]}\n', 1, "message 1, segment 0: refers to message 0, which is not an earlier"),
    ("restore", b'{"segments": [["ab"], [[0, 1, 2]]]}\n', 1, "message 1, segment 0: bytes 1 to 3 of message 0, which has 2"),
    ("restore", b'{"segments": [["a"], [[0, 0]]]}\n', 1, "message 1, segment 0: neither a str nor"),
    ("restore", '{"segments": [["é"], [[0, 0, 1]]]}\n'.encode(), 1, "message 1 is not UTF-8 at byte 0"),
])
def test_bad_line_named_and_nothing_written(tmp_path, command, content, line, reason):
    source, out = tmp_path / "in.jsonl", tmp_path / "out.jsonl"
    source.write_bytes(content)
    out.write_bytes(b"earlier output\n")
    result = palimp_command(command, source, out, ok=False)
    assert result.returncode == 1 and result.stderr.count(b"\n") == 1
    assert result.stderr.decode().startswith(f"palimp: {source}, line {line}: {reason}")
    assert out.read_bytes() == b"earlier output\n" and source.read_bytes() == content
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.jsonl", "out.jsonl"]


def test_interrupted_or_misdirected_run_leaves_no_output(tmp_path):
    out = tmp_path / "out.jsonl"
    with subprocess.Popen([*COMMAND, "compress", "-", str(out)], stdin=subprocess.PIPE,
                          stderr=subprocess.PIPE) as run:
        run.stdin.write(b'["hello", "hello world"]\n' * 1000)  # and the input stays open
        run.stdin.flush()
        deadline = time.monotonic() + 60
        while not any(p.name.endswith(".part") for p in tmp_path.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.05)
        run.send_signal(signal.SIGINT)
        assert run.wait(timeout=60) == 130
        assert run.stderr.read() == b"palimp: interrupted\n"
    assert list(tmp_path.iterdir()) == []

    source = tmp_path / "in.jsonl"
    source.write_bytes(b'["a"]\n')
    result = palimp_command("compress", source, source, ok=False)
    assert b"is the input" in result.stderr and source.read_bytes() == b'["a"]\n'


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """A Dask scheduler of its own, and a way to start workers for it."""
    require("dask.distributed")
    folder = tmp_path_factory.mktemp("dask")
    address_file = folder / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    started = [subprocess.Popen([*dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                 "--scheduler-file", str(address_file)], **quiet)]

    def start_worker(*args):
        started.append(subprocess.Popen([*dask, "worker", "--scheduler-file", str(address_file), "--nthreads", "1",
                                         "--no-dashboard", *args], **quiet))

    def address():
        # The scheduler creates the file before it writes it: under load the
        # file can be seen empty or half written.
        try:
            return json.loads(address_file.read_text())["address"]
        except (FileNotFoundError, ValueError, KeyError):
            return None

    try:
        deadline = time.monotonic() + 60
        while address() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        assert address() is not None, "the Dask scheduler wrote no address within 60 s"
        yield address(), start_worker, folder
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=60)


def test_dask_cluster_same_output_and_worker_without_palimp_reported(tmp_path, scheduler):
    address, start_worker, folder = scheduler
    source = tmp_path / "corpus.jsonl"
    source.write_text("".join(json.dumps(c) + "\n" for c in conversations()), encoding="utf-8")
    start_worker()
    on_cluster = palimp_command("compress", source, "-", "--scheduler", address).stdout
    assert on_cluster == palimp_command("compress", source, "-", "--jobs", "0").stdout

    blocker = folder / "without_palimp.py"
    blocker.write_text("import sys\nsys.modules['palimp'] = None  # import palimp fails\n")
    start_worker("--preload", str(blocker))
    deadline = time.monotonic() + 60
    while palimp_command("stats", source, "--scheduler", address, ok=None).returncode == 0:
        assert time.monotonic() < deadline, "the worker without palimp never joined"
    start = time.monotonic()
    result = palimp_command("compress", source, tmp_path / "out.jsonl", "--scheduler", address, ok=False)
    assert result.returncode == 1 and time.monotonic() - start < 30
    assert b"1 of 2 Dask workers cannot import palimp; tcp://" in result.stderr
    assert not (tmp_path / "out.jsonl").exists()
