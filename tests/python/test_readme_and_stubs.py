"""The README's examples run and type-check under mypy --strict; the type
stubs are installed with the module, match it (stubtest), give precise types
and reject misuse."""

import importlib.metadata
import re
import textwrap
from pathlib import Path

import pytest

import palimp
from conftest import ROOT, require, run_module

README = (ROOT / "README.md").read_text(encoding="utf-8")
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README, re.S | re.M)
STUB = ROOT / "src" / "python_bindings" / "palimp.pyi"

# What the stubs say about each call, checked with assert_type.
PRECISE = """
    from typing import assert_type
    import numpy as np
    import numpy.typing as npt
    import palimp

    p = palimp.PalimpText.from_texts(("a", None), exact_mode=False, min_match_len=np.uint8(2),
                                     lookback=None, cap_len=True, ncap=2**64 - 1)
    assert_type(p.segments(), list[list[palimp.PyLiteralSegment | palimp.PyReferenceSegment]])
    assert_type(p.render("x"), list[str | None])
    assert_type(p.compression_ratio(), float)

    t = palimp.PalimpTokens.from_tokens([[1, 2], (3, True), range(4), b"ab", np.arange(3), None], lookback=5)
    assert_type(palimp.PalimpTokens.from_tokens(np.zeros((2, 3), dtype=np.uint16)), palimp.PalimpTokens)
    assert_type(t.segments(), list[list[palimp.PyLiteralTokens | palimp.PyReferenceTokens]])
    assert_type(t.render([1]), list[list[int]])
    assert_type(t.render(range(2), as_numpy=False), list[list[int]])
    assert_type(t.render(np.array([1], dtype=np.uint32), as_numpy=True), list[npt.NDArray[np.uint32]])
    def either(flag: bool) -> None:
        assert_type(t.render((1,), as_numpy=flag), list[list[int]] | list[npt.NDArray[np.uint32]])
    w = palimp.PalimpTokens.from_texts_with_tokenizer(["a b"], "whitespace", exact_mode=True)
    assert_type(w.render_texts("c"), list[str])

    assert_type(palimp.PyLiteralSegment("a").text, str)
    r = palimp.PyReferenceSegment(1, start=2, len=3)
    assert_type((r.message, r.start, r.len), tuple[int, int, int])
    assert_type(palimp.PyLiteralTokens(np.array([1], dtype=np.int64)).tokens, list[int])
    assert_type(palimp.PyLiteralTokens((1, 2)).as_numpy(), npt.NDArray[np.uint32])
    assert_type(palimp.PyReferenceTokens(0, 0, 1).len, int)
"""

# One misuse per line, with (part of) the error mypy must report on it.
MISUSE = [
    ("p.segmnts()", '"PalimpText" has no attribute "segmnts"'),
    ("palimp.PalimpText.from_texts([1])", '"int"'),
    ("palimp.PalimpText.from_texts(['a'], min_match_len=4.0)", '"float"'),
    ("palimp.PalimpText.from_texts(['a'], 4)", "Too many positional arguments"),
    ("palimp.PalimpTokens.from_tokens([[1]], exact=True)", 'Unexpected keyword argument "exact"'),
    ("palimp.PalimpTokens.from_tokens([['a']])", "incompatible type"),
    ("palimp.PalimpTokens.from_tokens([[1]]).render([1])[0].dtype", '"list[int]" has no attribute "dtype"'),
    ("palimp.PalimpTokens.from_tokens([[1]]).render([1], as_numpy=True)[0].append(2)", "has no attribute \"append\""),
    ("palimp.PalimpTokens.from_tokens([[1]]).render([1.5])", '"float"'),
    ("palimp.PalimpText.from_texts(['a']).render(None)", '"None"'),
    ("palimp.PyLiteralSegment('a').text = 'b'", "read-only"),
    ("palimp.PyReferenceSegment(0, 1)", 'Missing positional argument "len"'),
    ("palimp.PyReferenceTokens(0, 1, 2).length", 'has no attribute "length"'),
    ("palimp.PalimpText.from_texts(['a']).render('x')[0].upper()", 'Item "None"'),
]


@pytest.mark.parametrize("index", range(len(EXAMPLES)))
def test_readme_example_runs(index, tmp_path, monkeypatch):
    assert len(EXAMPLES) >= 4
    monkeypatch.chdir(tmp_path)
    code = compile(EXAMPLES[index], f"README.md, example {index + 1}", "exec")
    exec(code, {"__name__": "__readme__"})


def test_typing_of_readme_precise_types_and_misuse(tmp_path):
    require("mypy")
    files = []
    for i, example in enumerate(EXAMPLES):
        files.append(tmp_path / f"readme_{i + 1}.py")
        files[-1].write_text(example, encoding="utf-8")
    (tmp_path / "precise.py").write_text(textwrap.dedent(PRECISE), encoding="utf-8")
    misuse = ["import palimp", "p = palimp.PalimpText.from_texts(['a'])"] + [code for code, _ in MISUSE]
    (tmp_path / "misuse.py").write_text("\n".join(misuse) + "\n", encoding="utf-8")
    result = run_module("mypy", "--strict", "--no-error-summary", "--show-error-codes",
                        "--cache-dir", tmp_path / "cache", *[f.name for f in files], "precise.py", "misuse.py",
                        cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    others = [line for line in errors if not line.startswith("misuse.py:")]
    assert others == [], result.stdout  # the README and the precise types check cleanly
    assert "import-not-found" not in result.stdout
    for number, (code, expected) in enumerate(MISUSE, start=len(misuse) - len(MISUSE) + 1):
        found = [line for line in errors if line.startswith(f"misuse.py:{number}:")]
        assert any(expected in line for line in found), (code, found)


def test_stubs_match_the_module():
    require("mypy")
    result = run_module("mypy.stubtest", "palimp", "--concise")
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_and_license_are_installed_with_the_module():
    module = Path(palimp.__file__)
    stub = STUB.read_bytes()
    assert (module.parent / "palimp.pyi").read_bytes() == stub
    assert (module.parent / "palimp-stubs" / "__init__.pyi").read_bytes() == stub
    files = importlib.metadata.files("palimp") or []
    licenses = [f for f in files if f.name == "LICENSE"]
    assert licenses and "MIT License" in licenses[0].read_text()
