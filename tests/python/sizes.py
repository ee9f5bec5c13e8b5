"""Sizes of the files the console writes, shared by the tests."""

STATE_SIZE = 82189  # bytes in a save-state slot
