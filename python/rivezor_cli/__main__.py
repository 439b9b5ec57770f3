# `python -m rivezor_cli`: the same command line as the `rivezor` console script.
# Kept to the one call so that both entry points behave identically.
from rivezor_cli.cli import main

raise SystemExit(main())
