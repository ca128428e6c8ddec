"""The benchmark's own tools: its content check, its hostile inputs, the
allocator wrapper behind its memory figures, and the comparison of runs."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import palimp

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import bench  # noqa: E402
import inputs  # noqa: E402

M64 = 2**64


def poly_hash(seq, base=257):
    h = 0
    for t in seq:
        h = (h * base + t) % M64
    return h


class TestContentCheck:
    def test_accepts_both_engines_and_both_modes(self):
        tokens = [[1, 2, 3, 4, 5, 6], None, [9, 1, 2, 3, 4, 5, 6], []]
        texts = ["hello world", None, "hello world!", ""]
        for exact in (True, False):
            p = palimp.PalimpTokens.from_tokens(tokens, exact_mode=exact)
            assert bench.rebuilds(tokens, "tokens", p.segments())
            t = palimp.PalimpText.from_texts(texts, exact_mode=exact)
            assert bench.rebuilds(texts, "text", t.segments())

    def test_rejects_segments_of_other_messages(self):
        a = palimp.PalimpTokens.from_tokens([[1, 2, 3, 4, 5], [1, 2, 3, 4, 5]]).segments()
        assert not bench.rebuilds([[1, 2, 3, 4, 5], [1, 2, 3, 4, 6]], "tokens", a)
        assert not bench.rebuilds([[1, 2, 3, 4, 5]], "tokens", a)
        t = palimp.PalimpText.from_texts(["héllo wörld", "héllo wörld"]).segments()
        assert not bench.rebuilds(["héllo wörld", "héllo wörlD"], "text", t)


class TestHostileInputs:
    def test_crafted_sizes(self):
        msgs, mode, params = inputs.crafted_windows(1 / 16)
        assert mode == "tokens" and params == {}
        assert len(msgs) == 1 + 25 + 1
        assert sum(map(len, msgs)) == 256 + 25 * 5000 + 2500 * 5
        short, _, _ = inputs.crafted_windows(1 / 16, "short-messages")
        assert len(short) == 1 + 5000 + 1 and sum(map(len, short)) == sum(map(len, msgs))
        one, _, _ = inputs.crafted_windows(1 / 16, "one-window")
        assert all(m[:4] == [1000, 1001, 1002, 1003] for m in one[1:-1])

    def test_thue_morse_blocks_collide_and_still_rebuild(self):
        p, q = inputs.thue_morse(7, 1, 2), inputs.thue_morse(7, 2, 1)
        assert p != q and poly_hash(p) == poly_hash(q)
        assert poly_hash(p + q) == poly_hash(q + p)
        msgs, mode, params = inputs.thue_morse_collisions(blocks=40)
        for exact in (True, False):
            segs = palimp.PalimpTokens.from_tokens(msgs, exact_mode=exact, **params).segments()
            assert bench.rebuilds(msgs, mode, segs)

    def test_small_inputs_rebuild(self):
        for build in (lambda: inputs.tiny_messages(300, "text"), lambda: inputs.absent_entries(3000, "tokens"),
                      lambda: inputs.identical_tokens(5000)):
            msgs, mode, params = build()
            for exact in (True, False):
                cls = palimp.PalimpText.from_texts if mode == "text" else palimp.PalimpTokens.from_tokens
                assert bench.rebuilds(msgs, mode, cls(msgs, exact_mode=exact, **params).segments())


@pytest.mark.skipif(shutil.which(os.environ.get("CC", "cc")) is None, reason="no C compiler")
def test_allocator_wrapper_counts_a_call(tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "METER_LIB", tmp_path / "alloc_meter.so")
    lib = bench.build_meter()
    assert lib is not None
    script = (
        "import sys; sys.path.insert(0, %r); import bench\n"
        "m = bench.Meter(); m.start(); b = bytearray(3_000_000); del b; peak = m.peak()\n"
        "m.start(); small = [bytes(100) for _ in range(1000)]; held = m.peak()\n"
        "print(peak, held)\n" % str(BENCH))
    env = dict(os.environ, LD_PRELOAD=str(lib), PYTHONMALLOC="malloc")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    peak, held = map(int, out.stdout.split())
    assert 3_000_000 <= peak < 3_100_000
    assert 100 * 1000 <= held < 400 * 1000


def test_a_call_over_the_time_limit_is_reported_not_waited_for():
    # Starting the worker and generating its 2.2 million tokens alone take
    # several times the limit, however fast the engine and the machine.
    source = {"name": "crafted", "input": "crafted", "variant": "spread", "scale": 1, "engine": "exact"}
    r = bench.run_worker({"job": "hostile", "source": source, "opts": {"hostile_seconds": 1.0}, "memory": False},
                         timeout=0.25, mem_limit_gb=0)
    assert r["over_limit"] == "over 0.25 s"


def test_figures_pair_each_repetition_with_zstd():
    case = {"bytes": 2 * 10**6, "code_points": 2 * 10**6, "seconds": [2.0, 1.0, 4.0],
            "zstd_seconds": [1.0, 1.0, 1.0]}
    sets = [{"name": "s", "cases": {"text-approx": case}}]
    bench.derive(sets)
    assert case["median_seconds"] == 2.0
    assert case["spread"] == pytest.approx(1.5)
    assert case["mb_per_s"] == pytest.approx(1.0)
    assert (case["vs_zstd3"], case["vs_zstd3_lo"], case["vs_zstd3_hi"]) == (0.5, 0.25, 1.0)


def test_compare_shows_ranges_past_ten_percent(tmp_path, capsys):
    def run(ratio):
        case = {"vs_zstd3": ratio, "memory": {"set_per_byte": 1.0, "largest_per_byte": 2.0}}
        return {"date": "d", "machine": {}, "sets": [{"name": "s", "cases": {"c": case}}]}
    paths = []
    for i, ratio in enumerate((0.50, 0.52, 0.70)):
        paths.append(tmp_path / f"{i}.json")
        paths[-1].write_text(json.dumps(run(ratio)))
    bench.compare([str(p) for p in paths[:2]])
    assert "0.51" in capsys.readouterr().out.splitlines()[3]
    bench.compare([str(p) for p in paths])
    assert "0.50-0.70" in capsys.readouterr().out.splitlines()[3]
