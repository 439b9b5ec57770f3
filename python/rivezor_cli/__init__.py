"""The ``rivezor`` command line: prepare, inspect, query and verify index files.

It uses the rivezor module exactly as any caller would."""
