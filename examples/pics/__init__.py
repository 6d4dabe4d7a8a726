"""Pics and Python cells of the lumencad example project."""
