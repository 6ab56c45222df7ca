"""Regression estimators built on the automatic regression search."""
