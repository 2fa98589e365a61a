"""profile(): the profiler switched on for the body of a with-block, and what
the block recorded as a report, a trace (Chrome's Trace Event Format, which
Perfetto and chrome://tracing open) and a text table."""

from __future__ import annotations

import importlib
import json
import os
import threading
import time
from types import TracebackType
from typing import List, Literal, NamedTuple, Optional, Protocol, Tuple, TypedDict, Union, cast

import _zoltra_rust as _z

RawProduct = Tuple[str, int, int, int, int, int, int, int]
RawEvent = Tuple[str, str, Optional[str], int, int, int, int, int, Optional[RawProduct]]


class _StoreReader(Protocol):
    """The part of the layer's compiled module that reads the event store."""

    def profile_mark(self) -> int: ...
    def profile_events(self, first: int, last: int) -> List[RawEvent]: ...
    def profile_report(self, first: int, last: int, contexts: Optional[Tuple[str, ...]],
                       context: Optional[str]) -> str: ...
    def profiling_enabled(self) -> bool: ...
    def profile_context(self) -> Optional[str]: ...


_native = cast(_StoreReader, importlib.import_module("zoltra_native._native"))


class ReportMetadata(TypedDict):
    session_id: str
    start_timestamp: str
    version: str
    context: Optional[str]


class OperationReport(TypedDict):
    operation: str
    count: int
    total_time_ms: float
    avg_time_ms: float
    min_time_ms: float
    max_time_ms: float
    primary_backend: str
    percent_total: float


class Report(TypedDict):
    """The JSON report, parsed."""

    metadata: ReportMetadata
    operations: dict[str, OperationReport]
    total_time_ms: float
    operation_count: int


class _EventArgsBase(TypedDict):
    size: int
    context: Optional[str]
    thread: int


class EventArgs(_EventArgsBase, total=False):
    """A trace event's "args"; the keys after `thread` only for matrix products."""

    path: str  # "kernel", "chunks", "openblas", "zero-fill" or "empty"
    m: int
    k: int
    n: int
    kernel_lanes: int  # 8 or 16 when our kernel ran
    chunks: int
    rows_per_chunk: int
    kernel_chunks: int
    openblas_chunks: int
    openblas_tiles: int  # the fixed tiles of a whole product given to OpenBLAS


class TraceEvent(TypedDict):
    """One call as a complete event ("ph": "X"); times in microseconds."""

    name: str
    cat: str
    ph: Literal["X"]
    ts: int
    dur: int
    pid: int
    tid: int
    args: EventArgs


class MetadataArgs(TypedDict, total=False):
    name: str
    sort_index: int


class MetadataEvent(TypedDict):
    name: Literal["process_name", "thread_name", "thread_sort_index"]
    ph: Literal["M"]
    pid: int
    tid: int
    args: MetadataArgs


class Product(NamedTuple):
    path: str
    m: int
    k: int
    n: int
    chunks: int
    kernel_chunks: int
    rows_per_chunk: int
    kernel_lanes: int


class Event(NamedTuple):
    """One recorded call; stamps in wall-clock microseconds since the epoch."""

    operation: str
    backend: str
    context: Optional[str]
    size: int
    start_us: int
    end_us: int
    thread: int  # 1, 2, ... in order of each thread's first recorded call
    os_thread: int
    product: Optional[Product]

    @property
    def duration_us(self) -> int:
        return max(self.end_us - self.start_us, 0)  # a clock stepping back counts 0, as in the report


def trace_events_of(events: List[Event], pid: int) -> List[TraceEvent]:
    """The events as complete events, in order of start time."""
    out: List[TraceEvent] = []
    for e in sorted(events, key=lambda e: e.start_us):  # stable: store order among equal stamps
        args: EventArgs = {"size": e.size, "context": e.context, "thread": e.thread}
        p = e.product
        if p is not None:
            args["path"], args["m"], args["k"], args["n"] = p.path, p.m, p.k, p.n
            if p.kernel_lanes:
                args["kernel_lanes"] = p.kernel_lanes
            if p.path == "chunks":
                args["chunks"], args["rows_per_chunk"] = p.chunks, p.rows_per_chunk
                args["kernel_chunks"], args["openblas_chunks"] = p.kernel_chunks, p.chunks - p.kernel_chunks
            elif p.path == "openblas":
                args["openblas_tiles"] = p.chunks
        out.append({"name": e.operation, "cat": e.backend, "ph": "X", "ts": e.start_us, "dur": e.duration_us,
                    "pid": pid, "tid": e.os_thread, "args": args})
    return out


def metadata_events_of(events: List[Event], pid: int, process: str,
                       thread_names: dict[int, str]) -> List[MetadataEvent]:
    """Names for the process and for each thread's track, tracks in order of first use."""
    out: List[MetadataEvent] = [{"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": process}}]
    threads = sorted({(e.thread, e.os_thread) for e in events})
    for number, tid in threads:
        name = thread_names.get(tid, "thread")
        out.append({"name": "thread_name", "ph": "M", "pid": pid, "tid": tid,
                    "args": {"name": f"{name} ({number})"}})
        out.append({"name": "thread_sort_index", "ph": "M", "pid": pid, "tid": tid, "args": {"sort_index": number}})
    return out


def format_us(us: float) -> str:
    if us >= 1e6:
        return f"{us / 1e6:.3f}s"
    if us >= 1e3:
        return f"{us / 1e3:.3f}ms"
    return f"{us:.3f}us"


def table_of(events: List[Event], title: str, wall_us: Optional[float] = None) -> str:
    """Calls, total, mean, min, max and share of the block's time in calls per
    operation, the largest total first."""
    groups: dict[str, List[int]] = {}
    for e in events:
        groups.setdefault(e.operation, []).append(e.duration_us)
    block_us = sum(sum(d) for d in groups.values())
    rows = sorted(groups.items(), key=lambda item: (-sum(item[1]), item[0]))
    header = ("Name", "Calls", "Total", "Mean", "Min", "Max", "Share")
    body = [
        (name, str(len(d)), format_us(sum(d)), format_us(sum(d) / len(d)), format_us(min(d)), format_us(max(d)),
         f"{(sum(d) / block_us * 100.0 if block_us else 0.0):.2f}%")
        for name, d in rows
    ]
    widths = [max(len(row[i]) for row in [header, *body]) for i in range(len(header))]
    rule = "  ".join("-" * w for w in widths)

    def line(row: Tuple[str, ...]) -> str:
        return "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths)))

    footer = f"{title}: {len(events)} calls, {format_us(block_us)} in calls"
    if wall_us is not None:
        footer += f" of {format_us(wall_us)} in the block"
    return "\n".join([rule, line(header), rule, *(line(r) for r in body), rule, footer])


# Blocks open in the process, and whether profiling was on before the first.
_blocks_lock = threading.Lock()
_blocks_open = 0
_enabled_before = False
# Blocks open on this thread, innermost last.
_this_thread = threading.local()


def _open_here() -> List["Profile"]:
    stack: Optional[List[Profile]] = getattr(_this_thread, "blocks", None)
    if stack is None:
        stack = _this_thread.blocks = []
    return stack


class Profile:
    """What a :func:`profile` block yields. After the block, `report` holds
    the parsed JSON report (keys "metadata", "operations", "total_time_ms",
    "operation_count") and `text` the JSON text; both are None inside it.
    `trace_events()`, `save_trace(path)`, `table()` and `str()` show the
    block's calls one by one."""

    def __init__(self, context: Optional[str] = None) -> None:
        self.context = context
        self.text: Optional[str] = None
        self.report: Optional[Report] = None
        self._events: List[Event] = []
        self._contexts: set[str] = set() if context is None else {context}
        self._first = 0
        self._previous_context: Optional[str] = None
        self._started = 0.0
        self._wall_us: Optional[float] = None
        self._thread_names: dict[int, str] = {}

    @property
    def operations(self) -> dict[str, OperationReport]:
        """The report's per-operation metrics (empty before the block ends)."""
        return self.report["operations"] if self.report is not None else {}

    def __enter__(self) -> "Profile":
        global _blocks_open, _enabled_before
        with _blocks_lock:
            if _blocks_open == 0:
                _enabled_before = _native.profiling_enabled()
                _z.clear_profile()  # the store holds no more than the outermost block's calls
            _blocks_open += 1
            _z.enable_profiling()
        self._previous_context = _native.profile_context()
        if self.context is not None:
            _z.set_profile_context(self.context)
        _open_here().append(self)
        self._started = time.perf_counter()
        self._first = _native.profile_mark()
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        global _blocks_open
        last = _native.profile_mark()
        self._wall_us = (time.perf_counter() - self._started) * 1e6
        if self.context is not None:
            _z.set_profile_context(self._previous_context)
        stack = _open_here()
        stack.remove(self)
        if stack:
            stack[-1]._contexts |= self._contexts  # the outer block counts the inner one's calls
        with _blocks_lock:
            _blocks_open -= 1
            if _blocks_open == 0 and not _enabled_before:
                _z.disable_profiling()
        # A block with a context holds the calls made under it or under a block inside it.
        contexts = None if self.context is None else tuple(sorted(self._contexts))
        self._events = [
            Event(*e[:8], product=Product(*e[8]) if e[8] is not None else None)
            for e in _native.profile_events(self._first, last)
            if contexts is None or e[2] in contexts
        ]
        self.text = _native.profile_report(self._first, last, contexts, self.context)
        self.report = cast(Report, json.loads(self.text))
        self._thread_names = {t.native_id: t.name for t in threading.enumerate() if t.native_id is not None}

    def trace_events(self) -> List[TraceEvent]:
        """The block's calls as Chrome trace complete events, in order of start time."""
        return trace_events_of(self._events, os.getpid())

    def save_trace(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Write the block's trace as a JSON file that Perfetto and chrome://tracing open."""
        pid = os.getpid()
        process = "zoltra_native" if self.context is None else f"zoltra_native: {self.context}"
        trace = {"traceEvents": [*metadata_events_of(self._events, pid, process, self._thread_names),
                                 *trace_events_of(self._events, pid)],
                 "displayTimeUnit": "ms"}
        with open(path, "w", encoding="utf-8") as f:
            json.dump(trace, f)

    def table(self) -> str:
        """A text table of the block's operations, the largest total time first."""
        title = "profile" if self.context is None else f"profile {self.context!r}"
        return table_of(self._events, title, self._wall_us)

    def __str__(self) -> str:
        return self.table()


def profile(context: Optional[str] = None) -> Profile:
    """Profile the calls made in the body of a with-block.

    Entering labels this thread's calls with `context` (when given) and
    enables profiling; leaving restores the label and, after the outermost
    block, the profiling switch, and fills the :class:`Profile` with the
    block's calls: those of every thread when there is no context, else those
    made under this context or under that of a block nested in it. Blocks
    nest: an inner block leaves the outer one's calls whole. The outermost
    block empties the module's event store when it starts.

        with zoltra_native.profile("step") as p:
            zoltra_native.sum(x)
        print(p.operations["sum"]["count"])
        print(p)                    # the table
        p.save_trace("step.json")   # open in Perfetto
    """
    return Profile(context)
