"""Benchmark palimp against zstandard level 3 on real and synthetic inputs.

For every input set (the shared corpora, and synthetic successive transcripts
of 4, 16, 64 and 256 MB in English and in multilingual text) and every case
(text engines, token engines from arrays and from lists, rendering, and
zstandard level 3 as the peer) it measures:

- time: best of N repetitions (repeat until about a second is spent or 5
  repetitions ran; a set over 128 MB runs once), throughput in MB/s of UTF-8
  input (MB = 10**6 bytes) and, for token cases, code points per second; the
  throughput of each palimp case divided by zstd-3's on the same input;
- memory: the peak resident memory added by the call, measured in a fresh
  process per (input set, case) after the inputs and the case's
  prerequisites are built;
- size: palimp's compression ratio (text cases) and zstd's compressed size
  over the original, for context.

Each (input set, case) runs in its own subprocess: its first call is the one
whose memory is measured and also counts as the first timing repetition.

Run `python bench/bench.py --help` for the options; bench/README.md explains
the output.
"""

import argparse
import ctypes
import datetime
import fnmatch
import gc
import io
import json
import os
import pathlib
import platform
import random
import resource
import subprocess
import sys
import tempfile
import time

# NumPy's math library starts spinning worker threads on import; on a small
# machine they steal the processor from the measured calls.  Nothing here
# uses them.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

ROOT = pathlib.Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
CACHE = RESULTS / "cache"
DEFAULT_OUT = RESULTS / "bench.json"
DEFAULT_CORPORA = ROOT.parent / "shared" / "corpora"

MB = 1_000_000
SIZES = (4, 16, 64, 256)
QUICK_SIZES = (4, 16)
VARIANTS = ("english", "multilingual")
# zstd-3 runs first on each set: the palimp rows are compared with it.
CASES = (
    "zstd-3",
    "text-exact",
    "text-approx",
    "tokens-array",
    "tokens-array-approx",
    "tokens-list",
    "render-list",
    "render-numpy",
)
TOKEN_CASES = ("tokens-array", "tokens-array-approx", "tokens-list", "render-list", "render-numpy")
# A list of one int per code point costs gigabytes past this. 64 MiB, so that
# the 64 MB synthetic sets (a little over 64 * 10**6 bytes) are measured.
TOKENS_LIST_MAX_BYTES = 64 * 2**20
SINGLE_REP_BYTES = 128 * MB  # sets larger than this are timed once
TARGET_SECONDS = 1.0
BUSY_CPU_SHARE = 0.9  # a timed repetition with less CPU than this share of wall time waited for the processor
MAX_REPS = 5
SEED = 20_240_601
GENERATOR_VERSION = 1
ZSTD_LEVEL = 3
ZSTD_MAX_WINDOW = 2**27


# ---------------------------------------------------------------------------
# Synthetic successive transcripts
# ---------------------------------------------------------------------------

ENGLISH_WORDS = """
the of and to a in is it you that he was for on are with as I his they be at one have
this from or had by not word but what some we can out other were all there when up use
your how said an each she which do their time if will way about many then them write
would like so these her long make thing see him two has look more day could go come did
number sound no most people my over know water than call first who may down side been now
find any new work part take get place made live where after back little only round man
year came show every good me give our under name very through just form sentence great
think say help low line differ turn cause much mean before move right boy old too same
tell does set three want air well also play small end put home read hand port large spell
add even land here must big high such follow act why ask men change went light kind off
need house picture try us again animal point mother world near build self earth father
head stand own page should country found answer school grow study still learn plant cover
food sun four between state keep eye never last let thought city tree cross farm hard
start might story saw far sea draw left late run while press close night real life few
north open seem together next white children begin got walk example ease paper group always
music those both mark often letter until mile river car feet care second book carry took
science eat room friend began idea fish mountain stop once base hear horse cut sure watch
color face wood main enough plain girl usual young ready above ever red list though feel
talk bird soon body dog family direct pose leave song measure door product black short
numeral class wind question happen complete ship area half rock order fire south problem
piece told knew pass since top whole king space heard best hour better true during hundred
five remember step early hold west ground interest reach fast verb sing listen six table
travel less morning ten simple several vowel toward war lay against pattern slow center
love person money serve appear road map rain rule govern pull cold notice voice unit power
town fine certain fly fall lead cry dark machine note wait plan figure star box noun field
rest correct able pound done beauty drive stood contain front teach week final gave green
function value return string error query model token buffer memory thread compile module
""".split()

ENGLISH_SYLLABLES = """
ba be bi bo bu ca ce ci co cu da de di do du fa fe fi fo ga ge gi go ha he hi ho ja jo
ka ke ki ko la le li lo lu ma me mi mo mu na ne ni no nu pa pe pi po pu ra re ri ro ru
sa se si so su ta te ti to tu va ve vi vo wa we wi xa ya yo za ze zo tion ment ness able
ing er est ly al ous ive ful less ship hood ward wise ster
""".split()

CYRILLIC_WORDS = """
и в не на я быть он с что а по это она этот к но они мы как из у который то за свой
весь год от так о для ты же все тот мочь вы человек такой его сказать только или еще
бы себя один как уже до время если сам когда другой вот говорить наш мой знать стать
при чтобы дело жизнь кто первый очень два день её новый рука даже во со раз где там под
можно ну какой после их работа без самый потом надо хотеть ли слово идти большой должен
место иметь ничто то сейчас тут лицо каждый друг нет теперь ни глаз тоже тогда видеть
вопрос через да здесь дом да понимать последний ответ система данные модель функция
""".split()

CYRILLIC_CONSONANTS = "бвгджзклмнпрстфхцчшщ"
CYRILLIC_VOWELS = "аеиоуыэюяё"

# Single code points, and a few sequences (skin tone, variation selector,
# joiner) as they occur in chat text.
EMOJI = [chr(c) for c in range(0x1F600, 0x1F650)] + [chr(c) for c in range(0x1F300, 0x1F320)] + [
    "\U0001F44D\U0001F3FD",
    "\u2764\ufe0f",
    "\U0001F468\u200d\U0001F4BB",
    "\u2705",
    "\U0001F680",
    "\U0001F914",
]

ASCII_BITS = ["API", "Python", "JSON", "HTTP", "v2", "OK", "GPU", "SQL", "C++", "UTF-8", "2024", "42", "100%"]


def _cum_zipf(n, s=1.05):
    """Cumulative Zipf weights for ranks 1..n, for random.choices."""
    cum, acc = [], 0.0
    for r in range(1, n + 1):
        acc += 1.0 / r**s
        cum.append(acc)
    return cum


class _Pools:
    """Word pools, built once from a fixed seed (the same for every size)."""

    def __init__(self):
        rng = random.Random(SEED)
        pseudo = {"".join(rng.choices(ENGLISH_SYLLABLES, k=rng.randint(2, 4))) for _ in range(4000)}
        rare = sorted(pseudo - set(ENGLISH_WORDS))
        rng.shuffle(rare)
        # Common words take the top Zipf ranks, made-up words the long tail.
        self.english = ENGLISH_WORDS + rare
        self.english_cum = _cum_zipf(len(self.english))

        cyr = set()
        for _ in range(4000):
            cyr.add("".join(rng.choice(CYRILLIC_CONSONANTS) + rng.choice(CYRILLIC_VOWELS)
                            for _ in range(rng.randint(1, 4))))
        rare = sorted(cyr - set(CYRILLIC_WORDS))
        rng.shuffle(rare)
        self.cyrillic = CYRILLIC_WORDS + rare
        self.cyrillic_cum = _cum_zipf(len(self.cyrillic))

        # CJK "words" of 1 to 3 ideographs; the common block first, then rarer ones.
        cjk = set()
        while len(cjk) < 6000:
            hi = 0x62FF if rng.random() < 0.7 else 0x9FFF
            cjk.add("".join(chr(rng.randint(0x4E00, hi)) for _ in range(rng.choice((1, 2, 2, 2, 3)))))
        self.cjk = sorted(cjk)
        rng.shuffle(self.cjk)
        self.cjk_cum = _cum_zipf(len(self.cjk))


def _english_paragraph(rng, pools):
    sentences = []
    for _ in range(rng.randint(2, 6)):
        words = rng.choices(pools.english, cum_weights=pools.english_cum, k=rng.randint(5, 20))
        if rng.random() < 0.3:
            words[rng.randrange(len(words))] += ","
        if rng.random() < 0.1:
            words.insert(rng.randrange(len(words)), str(rng.randint(0, 99_999)))
        s = " ".join(words)
        sentences.append(s[0].upper() + s[1:] + rng.choice("...?!"))
    if rng.random() < 0.15:  # a short list now and then
        items = ["- " + " ".join(rng.choices(pools.english, cum_weights=pools.english_cum, k=rng.randint(2, 7)))
                 for _ in range(rng.randint(2, 5))]
        return " ".join(sentences) + "\n" + "\n".join(items)
    return " ".join(sentences)


def _cjk_sentence(rng, pools):
    words = rng.choices(pools.cjk, cum_weights=pools.cjk_cum, k=rng.randint(4, 16))
    if rng.random() < 0.4:
        words.insert(rng.randrange(len(words)), "，")
    if rng.random() < 0.12:
        words.insert(rng.randrange(len(words)), rng.choice(ASCII_BITS))
    if rng.random() < 0.25:
        words.append(rng.choice(EMOJI))
    return "".join(words) + rng.choice("。。。？！")


def _cyrillic_sentence(rng, pools):
    words = rng.choices(pools.cyrillic, cum_weights=pools.cyrillic_cum, k=rng.randint(4, 16))
    if rng.random() < 0.3:
        words[rng.randrange(len(words))] += ","
    if rng.random() < 0.1:
        words.insert(rng.randrange(len(words)), rng.choice(ASCII_BITS))
    if rng.random() < 0.2:
        words.append(rng.choice(EMOJI))
    s = " ".join(words)
    return s[0].upper() + s[1:] + rng.choice("...?!")


def _multilingual_paragraph(rng, pools):
    if rng.random() < 0.65:
        return "".join(_cjk_sentence(rng, pools) for _ in range(rng.randint(2, 6)))
    return " ".join(_cyrillic_sentence(rng, pools) for _ in range(rng.randint(2, 6)))


def generate_turns(variant, size_mb):
    """Turns of one conversation whose successive transcripts (message t is
    turns 0..t) add up to at least size_mb MB of UTF-8. Each turn is
    "user: ..." or "assistant: ..." of roughly 1 to 3 KB of new text, ending
    in a blank line."""
    pools = _Pools()
    paragraph = _english_paragraph if variant == "english" else _multilingual_paragraph
    rng = random.Random(f"{SEED}-{variant}-{size_mb}")
    target = size_mb * MB
    turns, cumulative, total = [], 0, 0
    while total < target:
        role = "user: " if len(turns) % 2 == 0 else "assistant: "
        want = rng.randint(1000, 3000)
        parts, size = [], len(role) + 2
        while size < want:
            p = paragraph(rng, pools)
            parts.append(p)
            size += len(p.encode()) + 2
        turn = role + "\n\n".join(parts) + "\n\n"
        turns.append(turn)
        cumulative += len(turn.encode())
        total += cumulative
    return turns


def cache_path(variant, size_mb):
    return CACHE / f"{variant}-{size_mb}MB-g{GENERATOR_VERSION}-s{SEED}.json"


def ensure_synthetic(variant, size_mb):
    """Generate (once) and cache the turns of a synthetic set; returns its path."""
    path = cache_path(variant, size_mb)
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    turns = generate_turns(variant, size_mb)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps({"variant": variant, "size_mb": size_mb, "seed": SEED,
                               "generator": GENERATOR_VERSION, "turns": turns}, ensure_ascii=False),
                   encoding="utf-8")
    tmp.replace(path)
    print(f"  generated {variant} {size_mb} MB: {len(turns)} turns in {time.perf_counter() - start:.1f} s "
          f"-> {path.relative_to(ROOT)}", file=sys.stderr, flush=True)
    return path


def load_synthetic(variant, size_mb):
    turns = json.loads(cache_path(variant, size_mb).read_text(encoding="utf-8"))["turns"]
    full = "".join(turns)
    messages, end = [], 0
    for t in turns:
        end += len(t)
        messages.append(full[:end])
    return [messages]


# ---------------------------------------------------------------------------
# Corpora
# ---------------------------------------------------------------------------

def corpus_files(directory):
    return sorted(p for p in directory.iterdir() if p.name.endswith((".jsonl", ".jsonl.zst")))


def load_corpus(path):
    """One list of messages per non-empty line."""
    if path.name.endswith(".zst"):
        import zstandard
        with open(path, "rb") as raw:
            reader = zstandard.ZstdDecompressor(max_window_size=ZSTD_MAX_WINDOW).stream_reader(raw)
            text = io.TextIOWrapper(reader, encoding="utf-8")
            return [json.loads(line) for line in text if line.strip()]
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def set_name(path):
    name = path.name
    for suffix in (".zst", ".jsonl"):
        name = name.removesuffix(suffix)
    return name


# ---------------------------------------------------------------------------
# Worker: one (input set, case) in a fresh process
# ---------------------------------------------------------------------------

def _read_status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def _release_free_heap():
    """Give free heap memory back to the system, so the measured call cannot
    hide its peak in pages that were faulted in while preparing it."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


class PeakMeter:
    """Peak RSS added between start() and stop(): VmHWM after the call minus
    VmRSS before it, with the high-water mark reset through clear_refs; where
    that file is not writable, the rise of ru_maxrss (a lower bound when an
    earlier peak was higher than the RSS before the call)."""

    def start(self):
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self.method = "VmHWM-VmRSS (clear_refs)"
            self.before = _read_status()["VmRSS"]
        except OSError:
            self.method = "ru_maxrss rise (clear_refs not writable)"
            self.before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    def stop(self):
        if self.method.startswith("VmHWM"):
            self.after = _read_status()["VmHWM"]
        else:
            self.after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        return max(self.after - self.before, 0)


def _module_stamp():
    """Which build of the module this process loaded: its path, size and
    modification time (a rebuild during a run shows up as a second stamp)."""
    import palimp
    st = os.stat(palimp.__file__)
    return f"{palimp.__file__}:{st.st_size}:{st.st_mtime_ns}"


def _utf32(m):
    import numpy as np
    return None if m is None else np.frombuffer(m.encode("utf-32-le"), dtype=np.uint32)


def prepare(case, convs):
    """The case's prerequisites, built before the measured call."""
    if case == "zstd-3":
        import zstandard
        blobs = [b"".join(m.encode() for m in conv if m is not None) for conv in convs]
        return blobs, zstandard.ZstdCompressor(level=ZSTD_LEVEL)
    if case in ("text-exact", "text-approx"):
        return convs
    arrays = [[_utf32(m) for m in conv] for conv in convs]
    if case in ("tokens-array", "tokens-array-approx"):
        return arrays
    if case == "tokens-list":
        return [[None if a is None else a.tolist() for a in conv] for conv in arrays]
    if case in ("render-list", "render-numpy"):
        import palimp
        return [palimp.PalimpTokens.from_tokens(conv) for conv in arrays]
    raise ValueError(f"unknown case {case}")


def run_once(case, state, conv_bytes, first):
    """One repetition over every conversation of the set, each result dropped
    after use. Returns (seconds, build seconds or None, extra figures). Only
    the calls themselves are timed; freeing their results is not."""
    perf = time.perf_counter
    total = 0.0
    extra = {}
    if case == "zstd-3":
        blobs, cctx = state
        compressed = 0
        for blob in blobs:
            t0 = perf()
            out = cctx.compress(blob)
            total += perf() - t0
            compressed += len(out)
            del out
        extra["zstd_ratio"] = compressed / max(sum(len(b) for b in blobs), 1)
        return total, None, extra
    import palimp
    if case in ("text-exact", "text-approx"):
        exact = case == "text-exact"
        build = 0.0
        weighted = 0.0
        for conv, nbytes in zip(state, conv_bytes):
            t0 = perf()
            p = palimp.PalimpText.from_texts(conv, exact_mode=exact)
            t1 = perf()
            segs = p.segments()
            t2 = perf()
            build += t1 - t0
            total += t2 - t0
            if first:
                weighted += p.compression_ratio() * nbytes
            del p, segs
        if first:
            extra["palimp_ratio"] = weighted / max(sum(conv_bytes), 1)
        return total, build, extra
    if case in ("tokens-array", "tokens-array-approx", "tokens-list"):
        exact = case != "tokens-array-approx"
        build = 0.0
        for conv in state:
            t0 = perf()
            p = palimp.PalimpTokens.from_tokens(conv, exact_mode=exact)
            t1 = perf()
            segs = p.segments()
            t2 = perf()
            build += t1 - t0
            total += t2 - t0
            del p, segs
        return total, build, extra
    as_numpy = case == "render-numpy"
    for p in state:
        t0 = perf()
        out = p.render([0], as_numpy=as_numpy)
        total += perf() - t0
        del out
    return total, None, extra


def worker(args):
    result = {"case": args.case}
    kind, _, rest = args.set.partition(":")
    if kind == "corpus":
        convs = load_corpus(pathlib.Path(rest))
    else:
        variant, size = rest.split(":")
        convs = load_synthetic(variant, int(size))
    conv_bytes = [sum(len(m.encode()) for m in conv if m is not None) for conv in convs]
    nbytes = sum(conv_bytes)
    result.update(bytes=nbytes, code_points=sum(len(m) for conv in convs for m in conv if m is not None),
                  conversations=len(convs), messages=sum(len(conv) for conv in convs))
    if args.case == "tokens-list" and nbytes > TOKENS_LIST_MAX_BYTES:
        result["skipped"] = f"input above {TOKENS_LIST_MAX_BYTES >> 20} MiB: lists of ints would cost gigabytes"
        return result
    max_reps = 1 if nbytes > SINGLE_REP_BYTES else args.max_reps
    result["module"] = _module_stamp()
    state = prepare(args.case, convs)
    if args.case not in ("text-exact", "text-approx"):
        del convs  # the strings are not needed past the prerequisites
    gc.collect()
    gc.disable()  # as timeit does: no collector pauses inside the timed calls
    _release_free_heap()

    def rep(first):
        # CPU time over wall time of the whole repetition: well below 1 means
        # this process waited for the processor (a busy machine).
        w0, c0 = time.perf_counter(), time.process_time()
        out = run_once(args.case, state, conv_bytes, first=first)
        wall, cpu = time.perf_counter() - w0, time.process_time() - c0
        return out, cpu / wall if wall > 0 else 1.0

    meter = PeakMeter()
    meter.start()
    (seconds, build, extra), cpu_share = rep(True)
    result["mem_added"] = meter.stop()
    result["mem_method"] = meter.method
    result["rss_before"] = meter.before
    result.update(extra)

    times, builds, shares = [seconds], [build], [cpu_share]
    while len(times) < max_reps and sum(times) < args.target_seconds:
        gc.collect()
        (seconds, build, _), cpu_share = rep(False)
        times.append(seconds)
        builds.append(build)
        shares.append(cpu_share)
    result["times"] = times
    result["seconds"] = min(times)
    result["cpu_share"] = shares[times.index(min(times))]  # of the best repetition
    if builds[0] is not None:
        result["build_seconds"] = min(builds)
    return result


# ---------------------------------------------------------------------------
# Orchestration, tables and JSON
# ---------------------------------------------------------------------------

def run_worker(set_id, case, args):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        out_path = tmp.name
    cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--worker", "--set", set_id, "--case", case,
           "--result", out_path, "--max-reps", str(args.max_reps), "--target-seconds", str(args.target_seconds)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=args.timeout)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            tail = (proc.stderr or "").strip().splitlines()[-5:]
            why = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                   else f"exit status {proc.returncode}")
            return {"case": case, "error": why + (": " + " | ".join(tail) if tail else ""), "wall_seconds": wall}
        with open(out_path, encoding="utf-8") as f:
            result = json.load(f)
        result["wall_seconds"] = wall
        return result
    except subprocess.TimeoutExpired:
        return {"case": case, "error": f"timed out after {args.timeout:.0f} s"}
    finally:
        os.unlink(out_path)


def _machine():
    import numpy
    info = {"cpu": "unknown", "cores": os.cpu_count(), "usable_cores": len(os.sched_getaffinity(0)),
            "python": platform.python_version(), "numpy": numpy.__version__,
            "platform": platform.platform()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import zstandard
        info["zstandard"] = zstandard.__version__
    except ImportError:
        info["zstandard"] = None
    try:
        import hashlib
        import palimp
        with open(palimp.__file__, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        mtime = datetime.datetime.fromtimestamp(os.stat(palimp.__file__).st_mtime, datetime.timezone.utc)
        info["palimp_module"] = {"path": palimp.__file__, "sha256_16": digest,
                                 "modified": mtime.strftime("%Y-%m-%dT%H:%M:%SZ")}
    except (ImportError, OSError):
        info["palimp_module"] = None
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no", "--",
                                ".", ":!bench"], capture_output=True, text=True).stdout.strip()
        info["palimp_commit"] = commit + (" (with uncommitted changes outside bench/)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        info["palimp_commit"] = None
    return info


def _cell(value, width, digits):
    """A right-aligned number, or a dash where there is none."""
    return f"{'-':>{width}}" if value is None else f"{value:>{width}.{digits}f}"


def derive(sets):
    """Throughput, comparison with zstd-3 and per-byte figures."""
    for s in sets:
        zstd = s["cases"].get("zstd-3", {})
        zstd_mbps = zstd.get("mb_per_s")
        for name in CASES:
            r = s["cases"].get(name)
            if not r or "seconds" not in r:
                continue
            nbytes = r["bytes"]
            r["mb_per_s"] = nbytes / MB / r["seconds"] if r["seconds"] > 0 else None
            if name in TOKEN_CASES and r["seconds"] > 0:
                r["tokens_per_s"] = r["code_points"] / r["seconds"]
            r["mem_per_input_byte"] = r["mem_added"] / nbytes if nbytes else None
            r["seconds_per_mb"] = r["seconds"] / (nbytes / MB) if nbytes else None
            if name == "zstd-3":
                zstd_mbps = r["mb_per_s"]
        for name in CASES:
            r = s["cases"].get(name)
            if r and name != "zstd-3" and r.get("mb_per_s") and zstd_mbps:
                r["vs_zstd3"] = r["mb_per_s"] / zstd_mbps


def growth(sets):
    """Per-MB time and memory of the synthetic sets, by variant and case,
    with the factor from the smallest to the largest size measured."""
    rows = []
    for variant in VARIANTS:
        sized = sorted((s for s in sets if s.get("variant") == variant), key=lambda s: s["size_mb"])
        if not sized:
            continue
        for case in CASES:
            points = []
            for s in sized:
                r = s["cases"].get(case)
                if r and "seconds" in r:
                    points.append({"size_mb": s["size_mb"], "seconds_per_mb": r["seconds_per_mb"],
                                   "mem_per_input_byte": r["mem_per_input_byte"]})
            if not points:
                continue
            row = {"variant": variant, "case": case, "points": points}
            if len(points) > 1:
                lo, hi = points[0], points[-1]
                row["time_growth"] = hi["seconds_per_mb"] / lo["seconds_per_mb"] if lo["seconds_per_mb"] else None
                row["mem_growth"] = (hi["mem_per_input_byte"] / lo["mem_per_input_byte"]
                                     if lo["mem_per_input_byte"] else None)
                row["from_mb"], row["to_mb"] = lo["size_mb"], hi["size_mb"]
            rows.append(row)
    return rows


def print_tables(sets, growth_rows, machine, date, notes):
    head = (f"{'input set':<28}{'case':<21}{'MB':>8}{'reps':>5}{'time s':>10}{'build s':>10}{'MB/s':>9}"
            f"{'x zstd3':>9}{'mem B/B':>9}{'Mtok/s':>8}{'ratio':>8}")
    print("\n" + head)
    print("-" * len(head))
    for s in sets:
        for name in CASES:
            r = s["cases"].get(name)
            if r is None:
                continue
            label = f"{s['name']:<28}{name:<21}"
            if "error" in r:
                print(f"{label}ERROR: {r['error']}")
                continue
            if "skipped" in r:
                print(f"{label}{r['bytes'] / MB:>8.1f}  skipped: {r['skipped']}")
                continue
            ratio = r.get("palimp_ratio", r.get("zstd_ratio"))
            tok = r.get("tokens_per_s")
            print(f"{label}{r['bytes'] / MB:>8.1f}{len(r['times']):>5}{r['seconds']:>10.4f}"
                  f"{_cell(r.get('build_seconds'), 10, 4)}{_cell(r.get('mb_per_s'), 9, 1)}"
                  f"{_cell(r.get('vs_zstd3'), 9, 3)}{_cell(r['mem_per_input_byte'], 9, 3)}"
                  f"{_cell(tok / 1e6 if tok else None, 8, 1)}{_cell(ratio, 8, 4)}")
    print("\ntime s: best of the repetitions (reps); build s: from_texts / from_tokens alone; "
          "MB/s: UTF-8 input (MB = 10^6 B)\nx zstd3: throughput over zstd-3's on the same input; "
          "mem B/B: peak memory added by the call per input byte;\nMtok/s: million code points per second; "
          "ratio: palimp's compression_ratio() (text cases) or zstd compressed/original")

    if growth_rows:
        sizes = sorted({p["size_mb"] for row in growth_rows for p in row["points"]})
        cols = "".join(f"{f'@{z}MB':>10}" for z in sizes)
        head = f"{'variant':<14}{'case':<21}{cols}{'growth':>9}"
        for title, key, gkey, digits in (("seconds per input MB", "seconds_per_mb", "time_growth", 4),
                                         ("memory added per input byte", "mem_per_input_byte", "mem_growth", 3)):
            print(f"\nsynthetic sets, {title} (growth: largest size over smallest)")
            print(head)
            print("-" * len(head))
            for row in growth_rows:
                by_size = {p["size_mb"]: p[key] for p in row["points"]}
                cells = "".join(_cell(by_size.get(z), 10, digits) for z in sizes)
                g = row.get(gkey)
                print(f"{row['variant']:<14}{row['case']:<21}{cells}{_cell(g, 8, 2)}{'x' if g is not None else ' '}")

    methods = sorted({r["mem_method"] for s in sets for r in s["cases"].values() if "mem_method" in r})
    print(f"\nmemory measured by: {', '.join(methods) or '-'}")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores ({machine['usable_cores']} usable); "
          f"Python {machine['python']}, NumPy {machine['numpy']}, zstandard {machine['zstandard']}")
    mod = machine.get("palimp_module") or {}
    print(f"palimp commit: {machine['palimp_commit'] or 'unknown'}; module sha256 {mod.get('sha256_16', '?')}, "
          f"built {mod.get('modified', '?')}; date: {date}")
    for n in notes:
        print(f"note: {n}")


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="synthetic sizes 4 and 16 MB only (smoke run)")
    ap.add_argument("--sizes", help="comma-separated synthetic sizes in MB (default 4,16,64,256)")
    ap.add_argument("--variants", default=",".join(VARIANTS), help="synthetic variants (english,multilingual)")
    ap.add_argument("--cases", help="comma-separated case names or shell patterns, e.g. 'text-*,zstd-3' "
                                    f"(cases: {', '.join(CASES)})")
    ap.add_argument("--corpora", type=pathlib.Path, default=DEFAULT_CORPORA,
                    help="folder of .jsonl / .jsonl.zst corpora (default ../shared/corpora)")
    ap.add_argument("--no-corpora", action="store_true", help="skip the corpora")
    ap.add_argument("--no-synthetic", action="store_true", help="skip the synthetic sets")
    ap.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT, help="JSON output (default bench/results/bench.json)")
    ap.add_argument("--timeout", type=float, default=3600.0, help="seconds allowed per (input set, case)")
    ap.add_argument("--max-reps", type=int, default=MAX_REPS, help=argparse.SUPPRESS)
    ap.add_argument("--target-seconds", type=float, default=TARGET_SECONDS, help=argparse.SUPPRESS)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--set", help=argparse.SUPPRESS)
    ap.add_argument("--case", help=argparse.SUPPRESS)
    ap.add_argument("--result", help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        result = worker(args)
        with open(args.result, "w", encoding="utf-8") as f:
            json.dump(result, f)
        return 0

    if args.sizes:
        sizes = sorted({int(x) for x in args.sizes.split(",") if x.strip()})
    else:
        sizes = list(QUICK_SIZES if args.quick else SIZES)
    variants = [v for v in args.variants.split(",") if v]
    for v in variants:
        if v not in VARIANTS:
            sys.exit(f"unknown variant {v!r} (known: {', '.join(VARIANTS)})")
    cases = list(CASES)
    if args.cases:
        patterns = [p.strip() for p in args.cases.split(",") if p.strip()]
        cases = [c for c in CASES if any(fnmatch.fnmatchcase(c, p) for p in patterns)]
        if not cases:
            sys.exit(f"no case matches {args.cases!r} (cases: {', '.join(CASES)})")

    notes = []
    try:
        import zstandard  # noqa: F401
        have_zstd = True
    except ImportError:
        have_zstd = False
        notes.append("zstandard is not installed: no zstd-3 peer and no .zst corpora (pip install zstandard)")
        cases = [c for c in cases if c != "zstd-3"]

    sets = []
    if not args.no_corpora:
        if args.corpora.is_dir():
            for path in corpus_files(args.corpora):
                if path.name.endswith(".zst") and not have_zstd:
                    notes.append(f"skipped corpus {path.name}: needs zstandard")
                    continue
                sets.append({"id": f"corpus:{path}", "name": set_name(path), "kind": "corpus", "path": str(path)})
        else:
            notes.append(f"no corpora folder at {args.corpora}: corpora skipped")
    if not args.no_synthetic:
        for variant in variants:
            for size in sizes:
                sets.append({"id": f"synthetic:{variant}:{size}", "name": f"{variant}-{size}MB",
                             "kind": "synthetic", "variant": variant, "size_mb": size})
    for n in notes:
        print(f"note: {n}")
    if not sets:
        print("nothing to measure")
        return 1

    machine = _machine()  # before the workers: the build they are meant to load
    print(f"palimp benchmark: {len(sets)} input sets x {len(cases)} cases, one fresh process each", file=sys.stderr)
    for s in sets:
        if s["kind"] == "synthetic":
            ensure_synthetic(s["variant"], s["size_mb"])
        s["cases"] = {}
        for case in cases:
            print(f"  {s['name']:<28} {case:<21}", end="", file=sys.stderr, flush=True)
            r = run_worker(s["id"], case, args)
            s["cases"][case] = r
            for key in ("bytes", "code_points", "conversations", "messages"):
                if key in r:
                    s[key] = r[key]
            if "error" in r:
                status = "ERROR " + r["error"]
                notes.append(f"{s['name']} {case}: {r['error']}")
            elif "skipped" in r:
                status = "skipped: " + r["skipped"]
                notes.append(f"{s['name']} {case} skipped: {r['skipped']}")
            else:
                status = f"{r['seconds']:.4f} s best of {len(r['times'])}, +{r['mem_added'] / 2**20:.1f} MiB"
            print(f" {status} ({r.get('wall_seconds', 0):.0f} s wall)", file=sys.stderr, flush=True)

    busy = [f"{s['name']} {c}" for s in sets for c, r in s["cases"].items()
            if r.get("cpu_share") is not None and r["cpu_share"] < BUSY_CPU_SHARE and r["seconds"] >= 0.05]
    if busy:
        notes.append(f"CPU time under {BUSY_CPU_SHARE:.0%} of wall time (machine busy, timing unreliable): "
                     + ", ".join(busy))
    stamps = {r["module"] for s in sets for r in s["cases"].values() if "module" in r}
    if len(stamps) > 1:
        notes.append(f"palimp's module file changed during the run ({len(stamps)} different builds loaded): "
                     "rows may not be comparable")
    derive(sets)
    growth_rows = growth(sets)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    print_tables(sets, growth_rows, machine, date, notes)

    args.out.parent.mkdir(parents=True, exist_ok=True)
    report = {"date": date, "machine": machine, "mb": MB, "cases": cases, "sizes_mb": sizes,
              "options": {"quick": args.quick, "target_seconds": args.target_seconds, "max_reps": args.max_reps,
                          "single_rep_above_bytes": SINGLE_REP_BYTES,
                          "tokens_list_max_bytes": TOKENS_LIST_MAX_BYTES, "seed": SEED},
              "sets": sets, "growth": growth_rows, "notes": notes}
    args.out.write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"\nJSON written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
