"""Merging nets and point-to-point connections of a netlist."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from polyloom import split_reference


def _ref(value: Any) -> str:
    """An instance-port reference in its plain form "inst,port" (blanks dropped)."""
    instance, port = split_reference(value)
    return f"{instance},{port}"


def _net_ports(net: Any) -> list[str]:
    """The references of one net: a list of references or a mapping with "ports"."""
    if isinstance(net, Mapping):
        net = net.get("ports", ())
    if isinstance(net, str) or not isinstance(net, Iterable):
        raise ValueError(f"A net must be a list of instance-port references, got {net!r}")
    return [_ref(ref) for ref in net]


def _nets_to_connections(nets: Iterable[Any], connections: Mapping[str, str]) -> dict[str, str]:
    """One mapping of instance-port reference -> reference covering connections and nets.

    The given connections come first, in order, then one connection per
    two-port net. A port may take part in only one connection: a port claimed
    by two different connections raises a ValueError naming it (so does every
    net of three or more ports). A pair repeated in either direction is kept
    once. References are read by `polyloom.split_reference` and given back
    as "inst,port", so blanks around either part name the same port.
    """
    result: dict[str, str] = {}
    partner: dict[str, str] = {}
    used_by: dict[str, tuple[str, str]] = {}

    def add(first: str, second: str) -> None:
        if partner.get(first) == second:
            return  # the same pair again, in either direction
        for port in (first, second):
            if port in used_by:
                a, b = used_by[port]
                raise ValueError(
                    f"Port {port!r} is used by more than one connection: "
                    f"{a!r}->{b!r} and {first!r}->{second!r}"
                )
        if first == second:
            raise ValueError(f"Port {first!r} cannot connect to itself")
        result[first] = second
        partner[first], partner[second] = second, first
        used_by[first] = used_by[second] = (first, second)

    for first, second in connections.items():
        add(_ref(first), _ref(second))
    for net in nets:
        ports = _net_ports(net)
        if len(ports) < 2:
            continue
        first = ports[0]
        for other in ports[1:]:
            add(first, other)
    return result
