"""Search spaces for the automatic regression search."""
