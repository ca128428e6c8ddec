"""The inputs that fuzzing saved (fuzz/corpus/python, fuzz/regressions/python),
replayed through the fuzz harness's own checks, and the faults it found in
the argument conversion as plain cases."""

import importlib.util
from pathlib import Path

import pytest

import palimp
from probes import AbcOverstated, Overstated

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"
spec = importlib.util.spec_from_file_location("python_fuzz", FUZZ / "python_fuzz.py")
harness = importlib.util.module_from_spec(spec)
spec.loader.exec_module(harness)

SAVED = sorted(p for d in ("corpus", "regressions") for p in (FUZZ / d / "python").glob("*") if p.is_file())

@pytest.mark.parametrize("path", SAVED, ids=lambda p: f"{p.parent.parent.name}/{p.name}")
def test_saved_input(path):
    harness.check_one(path.read_bytes())


def test_inputs_were_saved():
    assert any(p.parent.parent.name == "regressions" for p in SAVED)
    assert sum(p.parent.parent.name == "corpus" for p in SAVED) >= 10


def test_harness_reports_a_wrong_outcome(monkeypatch):
    """The harness is able to fail: the input below calls
    from_texts_with_tokenizer([], "Whitespace"), which passes; with the
    expected message of that rule changed, it is reported."""
    data = bytes([4, 0, 0, 5, 3])  # tokenizer scenario, no messages, list, 4th name
    harness.check_one(data)
    monkeypatch.setattr(harness, "UNKNOWN_TAIL", "'. Available: nothing")
    with pytest.raises(harness.Finding, match="unknown tokenizer 'Whitespace'"):
        harness.check_one(data)


@pytest.mark.parametrize("call, expected", [
    (lambda: palimp.PyLiteralTokens(Overstated([1, 2])).tokens, [1, 2]),
    (lambda: len(palimp.PalimpText.from_texts(Overstated(["ab", None])).segments()), 2),
    (lambda: palimp.PalimpTokens.from_texts_with_tokenizer(Overstated(["a b", "b"]), "whitespace").render([]),
     [[0, 1], [1]]),
])
def test_over_reported_length_only_sizes_storage(call, expected):
    assert call() == expected


def test_over_reported_length_of_a_replacement_raises_the_item_error():
    t = palimp.PalimpTokens.from_tokens([[1, 2, 3, 4], [1, 2, 3, 4]])
    with pytest.raises(IndexError):
        t.render(AbcOverstated([7, 8]))


@pytest.mark.parametrize("call, message", [
    (lambda: palimp.PalimpTokens.from_texts_with_tokenizer(["a"], "white\x00space"),
     "unknown tokenizer 'white\x00space'. Available: 'whitespace', 'hf:<model>' (with feature), "
     "'file:<path>' (with feature)"),
    (lambda: palimp.PalimpText.from_texts([], **{"a\x00b": 1}),
     "PalimpText.from_texts() got an unexpected keyword argument 'a\x00b'"),
    (lambda: palimp.PalimpText.from_texts([], **{"\ud800": 1}),
     "PalimpText.from_texts() got an unexpected keyword argument '\ud800'"),
])
def test_names_stand_unchanged_in_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message
