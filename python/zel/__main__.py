"""`python -m zel`: the zel command."""

from .cli import main

raise SystemExit(main())
