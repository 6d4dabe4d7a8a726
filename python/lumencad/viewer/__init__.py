"""The viewer: a local web server that shows a project's layouts and schematics live.

``lumencad serve`` runs it. The page of a cell draws the cell's GDS file and,
for a pic, its annotated schematic; it polls the server once a second and
redraws when the layout changes on disk. Saving a pic or a Python cell makes
the server rebuild the project in the background.
"""

from lumencad.viewer.app import create_app
from lumencad.viewer.project import Project

__all__ = ["Project", "create_app"]
