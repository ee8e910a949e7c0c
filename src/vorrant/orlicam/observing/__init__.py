"""Observing: the night's plans, sequences, masters and calibration. They report progress
through callbacks and never print or parse command-line syntax."""
