# Type information for the compiled module polyloom._geometry.
ROUND_DECIMALS: int

def clean(value: float) -> float: ...
def transformed_ports(
    port_type, ports, x: float, y: float, c: float, s: float, rotation: float, mirror: bool
) -> dict | None: ...
def place_ports(
    port_type,
    instance: str,
    ports: tuple,
    x: float,
    y: float,
    c: float,
    s: float,
    rotation: float,
    mirror: bool,
    refs: list[str],
    centers: list[tuple[float, float]],
    orientations: list[float | None],
) -> bool: ...
def grid_neighbours(
    xs: list[float], ys: list[float], probe_xs: list[float], probe_ys: list[float], cell: float
) -> tuple | None: ...
def natural_key(text: str) -> tuple | None: ...
