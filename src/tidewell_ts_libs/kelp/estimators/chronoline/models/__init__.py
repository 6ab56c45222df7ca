"""Chronoline forecaster and estimator classes."""
