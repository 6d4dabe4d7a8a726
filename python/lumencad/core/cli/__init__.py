"""Command-line application of lumencad and its commands."""
