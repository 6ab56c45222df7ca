"""Windowed regression forecasters of the chronoline family."""
