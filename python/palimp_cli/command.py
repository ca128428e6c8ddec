"""The `palimp` command: compress, restore and stats."""

import argparse
import functools
import os
import signal
import sys
import time
from collections.abc import Iterator
from typing import NoReturn

from palimp_cli.progress import Progress
from palimp_cli.runners import ClusterError, Task, default_jobs, run_dask, run_here, run_processes
from palimp_cli.sink import SinkError, open_sink
from palimp_cli.source import SourceError, open_source, read_batches
from palimp_cli.work import Done, InputError, Options, compress_batch, restore_batch

DESCRIPTION = """\
Compress JSON Lines of conversations (one JSON list of messages, str or null,
per line) into their segments, and restore them.  Each output line of
compress is {"line": N, "ratio": r, "segments": [...]}, with one entry per
message: null for an absent message, else its segments, each a str (new
text) or [message, start, len] (UTF-8 bytes of an earlier message)."""

# Exit statuses besides 0: bad input or a failure, a usage error (argparse's),
# an interruption (128 + SIGINT, as a shell reports it).
FAILED, USAGE, INTERRUPTED = 1, 2, 130
U64_MAX = 2**64 - 1


def _count(text: str) -> int:
    value = int(text)
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{text} is not between 0 and 2**64 - 1")
    return value


def _jobs(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("the number of jobs must be 0 or more")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="palimp", description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    where = argparse.ArgumentParser(add_help=False)
    group = where.add_argument_group("where the work runs").add_mutually_exclusive_group()
    group.add_argument("--jobs", "-j", type=_jobs, default=None, metavar="N",
                       help="worker processes on this machine (default: one per core; 0: in this process)")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the existing Dask cluster whose scheduler is at ADDRESS "
                            "(needs pip install 'palimp[dask]'; every worker needs palimp)")
    engine = argparse.ArgumentParser(add_help=False)
    options = engine.add_argument_group("engine")
    options.add_argument("--approximate", action="store_true",
                         help="the approximate engine, which bounds its work per position")
    options.add_argument("--min-match-len", type=_count, default=4, metavar="K",
                         help="shortest reference, in characters (default: 4; 0: no references)")
    options.add_argument("--cap-len", type=_count, default=64, metavar="N",
                         help="approximate engine: length of the second window (default: 64)")
    options.add_argument("--ncap", type=_count, default=64, metavar="N",
                         help="approximate engine: candidates examined per position (default: 64)")
    source = "JSON Lines input, one conversation per line; - for standard input; .zst needs zstandard"

    c = commands.add_parser("compress", parents=[engine, where], help="conversations to segments",
                            description="Compress every conversation of IN into OUT.")
    c.add_argument("input", metavar="IN", help=source)
    c.add_argument("output", metavar="OUT", help="JSON Lines output; - for standard output")
    r = commands.add_parser("restore", parents=[where], help="segments back to conversations",
                            description="Restore the conversations of IN, an output of compress, into OUT: "
                                        "one JSON list of messages per line.")
    r.add_argument("input", metavar="IN", help="output of compress; - for standard input")
    r.add_argument("output", metavar="OUT", help="JSON Lines output; - for standard output")
    s = commands.add_parser("stats", parents=[engine, where], help="what compressing would give",
                            description="Compress IN without writing anything, and print its size, "
                                        "the compression ratio and the speed.")
    s.add_argument("input", metavar="IN", help=source)
    return parser


def _results(args: argparse.Namespace, task: Task, name: str) -> Iterator[tuple[Done, Progress]]:
    stream, size = open_source(args.input)
    progress = Progress(sys.stderr, f"{args.command} {name}", size)
    with stream:
        batches = read_batches(stream, name)
        if args.scheduler is not None:
            results = run_dask(task, batches, args.scheduler)
        elif args.jobs == 0:
            results = run_here(task, batches)
        else:
            results = run_processes(task, batches, args.jobs or default_jobs())
        for done in results:
            progress.add(done.conversations, done.input_bytes)
            yield done, progress
    progress.finish()


def _run(args: argparse.Namespace) -> None:
    name = "standard input" if args.input == "-" else args.input
    options = Options(not args.approximate, args.min_match_len, args.cap_len, args.ncap) \
        if args.command != "restore" else Options()
    work = restore_batch if args.command == "restore" else compress_batch
    task = functools.partial(work, options=options, keep_output=args.command != "stats")
    try:
        if args.command == "stats":
            _stats(args, task, name)
            return
        with open_sink(args.output, args.input) as out:
            for done, _ in _results(args, task, name):
                try:
                    out.write(done.data)
                except BrokenPipeError:
                    raise
                except OSError as error:  # a full disk, say
                    raise SinkError(f"cannot write {args.output}: {error.strerror}") from None
    except InputError as error:
        _fail(f"{name}, line {error.line}: {error.reason}")


def _stats(args: argparse.Namespace, task: Task, name: str) -> None:
    conversations = messages = message_bytes = kept_bytes = 0
    start = time.perf_counter()
    for done, _ in _results(args, task, name):
        conversations += done.conversations
        messages += done.messages
        message_bytes += done.message_bytes
        kept_bytes += done.kept_bytes
    seconds = time.perf_counter() - start
    ratio = kept_bytes / message_bytes if message_bytes else 1.0
    print(f"conversations  {conversations:,}\n"
          f"messages       {messages:,}\n"
          f"bytes          {message_bytes:,} (UTF-8 of the messages)\n"
          f"kept           {kept_bytes:,} (literal bytes plus one per reference)\n"
          f"ratio          {ratio:.4f} (kept over bytes: lower is better)\n"
          f"time           {seconds:.3f} s, {message_bytes / 1e6 / max(seconds, 1e-9):,.1f} MB/s")


def _fail(message: str) -> NoReturn:
    print(f"palimp: {message}", file=sys.stderr)
    sys.exit(FAILED)


def _terminate(signum: int, frame: object) -> NoReturn:
    del frame
    sys.exit(128 + signum)  # unwinds, so the temporary output is removed


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    signal.signal(signal.SIGTERM, _terminate)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, _terminate)
    try:
        _run(args)
    except (SourceError, SinkError, ClusterError) as error:
        _fail(str(error))
    except KeyboardInterrupt:
        print("palimp: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`): stop quietly.
        # Nothing is left to flush into the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except OSError as error:
        _fail(f"{error.strerror or error}" + (f": {error.filename}" if error.filename else ""))
    return 0
