"""Inputs of the benchmark: the shared corpora, synthetic successive
transcripts, a long text that does not repeat, and hostile inputs.

Everything here is deterministic: generated inputs come from fixed seeds, so
two runs measure the same bytes.
"""

import io
import json
import pathlib
import random
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CACHE = ROOT / "bench" / "results" / "cache"

MB = 1_000_000
SEED = 20_240_601
GENERATOR_VERSION = 1
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


def ensure_synthetic(variant, size_mb, log=None):
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
    if log:
        log(f"generated {variant} {size_mb} MB: {len(turns)} turns in {time.perf_counter() - start:.1f} s "
            f"-> {path.relative_to(ROOT)}")
    return path


def load_synthetic(variant, size_mb):
    """One conversation: message t is turns 0..t."""
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
    path = pathlib.Path(path)
    if path.name.endswith(".zst"):
        import zstandard
        with open(path, "rb") as raw:
            reader = zstandard.ZstdDecompressor(max_window_size=ZSTD_MAX_WINDOW).stream_reader(raw)
            text = io.TextIOWrapper(reader, encoding="utf-8")
            return [json.loads(line) for line in text if line.strip()]
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def set_name(path):
    name = pathlib.Path(path).name
    for suffix in (".zst", ".jsonl"):
        name = name.removesuffix(suffix)
    return name


# ---------------------------------------------------------------------------
# A long text that does not repeat
# ---------------------------------------------------------------------------

def load_unique_text(size_mb):
    """size_mb * 10^6 random printable ASCII characters, then the 1,000
    characters from position 12,345 as a second message: one conversation
    in which nothing repeats but the excerpt."""
    rng = random.Random(f"{SEED}-unique-{size_mb}")
    printable = bytes(range(32, 127))
    text = bytes(rng.choices(printable, k=size_mb * MB)).decode("ascii")
    return [[text, text[12345:13345]]]


# ---------------------------------------------------------------------------
# Hostile inputs
# ---------------------------------------------------------------------------
#
# Each builder returns (messages, mode, params): token messages are lists of
# ints, text messages str; None entries are absent messages.

def crafted_windows(scale, variant="spread"):
    """A first message of 256 distinct ids; 400 * scale messages, each of
    1,000 copies of a four-id window of it followed by a fresh id; a last
    message using a window that nobody copied, 40,000 * scale times.  At
    scale 1: 2.2 million tokens.

    variant "spread": the copies take windows 0-199 at random; "one-window":
    every copy takes window 0, so every copy record lands on one place;
    "short-messages": the same copies as "spread", five to a message."""
    rng = random.Random(1)
    base = list(range(1000, 1256))
    sep = 10**6
    copies = []
    for _ in range(int(400 * scale) * 1000):
        q = 0 if variant == "one-window" else rng.randrange(200)
        copies.append(base[q:q + 4] + [sep])
        sep += 1
    per_message = 5 if variant == "short-messages" else 1000
    msgs = [base]
    for i in range(0, len(copies), per_message):
        msgs.append([t for c in copies[i:i + per_message] for t in c])
    last = []
    for _ in range(int(40000 * scale)):
        last += base[251:255] + [sep]
        sep += 1
    msgs.append(last)
    return msgs, "tokens", {}


def thue_morse(k, a, b):
    """The Thue-Morse sequence of 2^k symbols over a (for 0) and b (for 1)."""
    return [b if bin(i).count("1") % 2 else a for i in range(2**k)]


def thue_morse_collisions(blocks=2000, k=7):
    """Messages made of 2^k-symbol blocks, each the Thue-Morse sequence over
    (1, 2) or its complement, chosen at random.  Under base 257 the two
    blocks hash alike from k = 7 on (under any odd base from about k = 11),
    so every aligned window of whole blocks collides with every other:
    min_match_len is one block and cap_len eight."""
    rng = random.Random(2)
    p, q = thue_morse(k, 1, 2), thue_morse(k, 2, 1)
    msgs = []
    for _ in range(4):
        m = []
        for _ in range(blocks):
            m += p if rng.random() < 0.5 else q
        msgs.append(m)
    return msgs, "tokens", {"min_match_len": 2**k, "cap_len": 8 * 2**k}


def identical_tokens(n=10**7):
    """A message of n copies of one id, then the same message again."""
    m = [7] * n
    return [m, list(m)], "tokens", {}


def tiny_messages(count=10**4, mode="tokens"):
    """count messages of one to three symbols from a four-symbol alphabet."""
    rng = random.Random(3)
    msgs = [[rng.randrange(4) for _ in range(rng.randint(1, 3))] for _ in range(count)]
    if mode == "text":
        msgs = ["".join("abcd"[t] for t in m) for m in msgs]
    return msgs, mode, {}


def absent_entries(count=10**5, mode="text"):
    """count absent entries with a short message after every thousandth."""
    rng = random.Random(4)
    words = ["alpha", "beta", "gamma", "delta", "epsilon"]
    msgs = []
    for i in range(count):
        msgs.append(None)
        if i % 1000 == 999:
            text = " ".join(rng.choice(words) for _ in range(8))
            msgs.append(text if mode == "text" else [ord(c) for c in text])
    return msgs, mode, {}


def extreme_parameters(convs, name, value):
    """The messages of a corpus as one list, with one parameter at 0 or
    2^64 - 1."""
    return [m for conv in convs for m in conv], "text", {name: value}
