"""Python cells of the example project."""
