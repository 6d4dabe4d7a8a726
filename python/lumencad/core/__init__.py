"""Core of lumencad: host services, PDK helpers, netlist tools and commands."""
