"""Runnable examples: ``python3 -m pyradec.examples.tissue --help``."""
