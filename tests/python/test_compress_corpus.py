"""examples/compress_corpus.py: a corpus compressed on a local Dask cluster
is written in input order, and its segments rebuild every message."""

import importlib.util
import json
import subprocess
import sys

import palimp
from conftest import ROOT, require

EXAMPLE = ROOT / "examples" / "compress_corpus.py"


def load_example():
    spec = importlib.util.spec_from_file_location("compress_corpus", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def conversations():
    """Successive transcripts: each message the previous one plus a turn,
    with multi-byte text, absent and empty messages among them."""
    turns = ["user: Wie spät ist es?\n\n", "assistant: Zwölf Uhr — 正午 😀.\n\n",
             "user: Danke! Und morgen?\n\n", "assistant: Morgen auch, um zwölf Uhr.\n\n"]
    out = []
    for k in range(23):
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


def run(*args):
    result = subprocess.run([sys.executable, str(EXAMPLE), *map(str, args)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result


def test_local_cluster_output_rebuilds_every_message(tmp_path):
    require("dask.distributed")
    require("tqdm")
    example = load_example()
    corpus = conversations()
    lines = [json.dumps(c, ensure_ascii=False) for c in corpus]
    lines.insert(10, "")  # a blank line is skipped but keeps the numbering
    (tmp_path / "corpus.jsonl").write_text("\n".join(lines), encoding="utf-8")  # no final line break

    # Small batches, so that several travel at once and finish out of order.
    cluster = run(tmp_path / "corpus.jsonl", tmp_path / "cluster.jsonl", "--workers", "2", "--batch", "3")
    assert "23 conversations compressed" in cluster.stderr and "on 2 workers" in cluster.stderr
    run(tmp_path / "corpus.jsonl", tmp_path / "serial.jsonl", "--workers", "0", "--batch", "5")
    written = (tmp_path / "cluster.jsonl").read_text(encoding="utf-8")
    assert written == (tmp_path / "serial.jsonl").read_text(encoding="utf-8")

    records = [json.loads(line) for line in written.splitlines()]
    assert [r["line"] for r in records] == [n for n in range(1, 25) if n != 11]
    for messages, record in zip(corpus, records):
        assert example.rebuild(record["segments"]) == messages
        p = palimp.PalimpText.from_texts(messages)
        assert record["ratio"] == p.compression_ratio()
    assert sum(isinstance(s, list) for r in records for row in r["segments"] if row for s in row) > 40
    assert min(r["ratio"] for r in records) < 0.6  # references were made

    # The approximate engine's segments rebuild the messages as well.
    run(tmp_path / "corpus.jsonl", tmp_path / "approximate.jsonl", "--workers", "0", "--approximate",
        "--min-match-len", "8")
    for messages, line in zip(corpus, (tmp_path / "approximate.jsonl").read_text(encoding="utf-8").splitlines()):
        assert example.rebuild(json.loads(line)["segments"]) == messages
