"""`zel.report.write_report(zel.load(path), out)`: the HTML report, which lives in
`zel.export.report`."""

from .export.report import render, report_data, write_report

__all__ = ["render", "report_data", "write_report"]
