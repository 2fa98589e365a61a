"""profile(): the profiler switched on for the body of a with-block."""

from __future__ import annotations

import json
from contextlib import contextmanager
from typing import Any, Iterator, Optional

import _zoltra_rust as _z


class Profile:
    """What a :func:`profile` block yields. After the block, `report` holds
    the parsed JSON report (a dict: "metadata", "operations", "total_time_ms",
    "operation_count") and `text` the JSON text; both are None inside it."""

    def __init__(self, context: Optional[str]) -> None:
        self.context = context
        self.text: Optional[str] = None
        self.report: Optional[dict[str, Any]] = None

    @property
    def operations(self) -> dict[str, Any]:
        """The report's per-operation metrics (empty before the block ends)."""
        return self.report["operations"] if self.report is not None else {}


@contextmanager
def profile(context: Optional[str] = None) -> Iterator[Profile]:
    """Profile the calls made in the body of a with-block.

    Entering empties the module's event store, labels this thread's calls
    with `context` (when given) and enables profiling; leaving disables it,
    clears the label and fills the yielded :class:`Profile` with the report
    (restricted to `context` when given). The profiler is process-wide:
    blocks must not nest or run in several threads at once.

        with zoltra_native.profile("step") as p:
            zoltra_native.sum(x)
        print(p.operations["sum"]["count"])
    """
    result = Profile(context)
    _z.clear_profile()
    if context is not None:
        _z.set_profile_context(context)
    _z.enable_profiling()
    try:
        yield result
    finally:
        _z.disable_profiling()
        if context is not None:
            _z.set_profile_context(None)
        result.text = _z.get_profile_report(context)
        result.report = json.loads(result.text)
