"""A capture written out for other tools, one module per format:

- `csv`, `jsonl`, `parquet`: the frame table (`parquet` also writes many captures
  as one dataset);
- `trace` (trace-event JSON for ui.perfetto.dev and chrome://tracing) and
  `speedscope`: flame frames for trace viewers, placed in time by `timeline`;
- `report`: one self-contained HTML page.

`common` holds what they share: writing through a temporary file, the progress bar,
NaN as None, the choice of frames and the labels of threads.
"""
