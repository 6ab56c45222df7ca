"""Automatic regression search over a stages object (see ``utils.regression_dag``)."""
