"""Flame frames for trace viewers from Python: `select_frames`, `to_trace_events`
(ui.perfetto.dev) and `to_speedscope`, which live in `zel.export` (`common`, `trace`,
`speedscope`; `timeline` says where frames lie in time)."""

from .export.common import Selection, SelectionError, select_frames
from .export.speedscope import to_speedscope
from .export.trace import to_trace_events

__all__ = ["Selection", "SelectionError", "select_frames", "to_speedscope", "to_trace_events"]
