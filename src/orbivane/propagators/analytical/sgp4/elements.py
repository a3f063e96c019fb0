"""Element sets: every field of a two-line element set, decoded and validated."""
