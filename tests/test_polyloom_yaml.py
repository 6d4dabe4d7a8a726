"""Building components from pic netlists: placements, connections, routes, ports, errors."""

import os
import re

import polyloom as pl
import pytest
import yaml
from polyloom.read import from_yaml
from polyloom.read.from_yaml_template import cell_from_yaml_template

pytestmark = pytest.mark.usefixtures("generic_pdk_active")


@pytest.mark.parametrize(
    ("placement", "state", "o2"),
    [
        ({"x": 5, "y": -2}, (5.0, -2.0, 0.0, False), ((15.0, -2.0), 0.0)),
        ({"rotation": 90, "dx": 1}, (1.0, 0.0, 90.0, False), ((1.0, 10.0), 90.0)),
        ({"x": 3, "rotation": 180, "dy": 4}, (3.0, 4.0, 180.0, False), ((-7.0, 4.0), 180.0)),
        ({"mirror": True, "rotation": 90}, (0.0, 0.0, 90.0, True), ((0.0, 10.0), 90.0)),
    ],
)
def test_placements(placement, state, o2):
    inst = from_yaml({"instances": {"s": "straight"}, "placements": {"s": placement}}).insts[0]
    assert (inst.x, inst.y, inst.rotation, inst.mirrored) == state
    assert (inst.ports["o2"].center, inst.ports["o2"].orientation) == o2


@pytest.mark.parametrize(
    "anchor",
    [{"rotation": 0}, {"rotation": 90, "x": 7}, {"rotation": 270, "mirror": True, "y": -3}],
)
@pytest.mark.parametrize("mover", [{}, {"mirror": True}, {"rotation": 180}])
def test_connections_make_ports_coincide_exactly(anchor, mover):
    c = from_yaml(
        {
            "instances": {"m": "mmi1x2", "b": "bend_euler"},
            "placements": {"m": anchor, "b": mover},
            "connections": {"m,o2": "b,o1"},
        }
    )
    m, b = c.insts
    assert b.ports["o1"].center == m.ports["o2"].center
    assert (b.ports["o1"].orientation - m.ports["o2"].orientation) % 360 == 180.0
    assert b.mirrored is mover.get("mirror", False)
    assert c.get_netlist()["connections"] == {"b,o1": "m,o2"}


def test_instances_keep_names_and_ports_are_exposed():
    c = from_yaml(
        """
name: chain
instances:
  s1: {component: straight, settings: {length: 5}}
  s2: straight
connections:
  s1,o2: s2,o1
ports:
  in: s1,o1
  out: s2,o2
"""
    )
    assert c.name == "chain"
    assert [i.name for i in c.insts] == ["s1", "s2"]
    ports = [("in", (0.0, 0.0), 180.0), ("out", (15.0, 0.0), 0.0)]
    assert [(p.name, p.center, p.orientation) for p in c.ports] == ports
    netlist = c.get_netlist()
    assert netlist["ports"] == {"in": "s1,o1", "out": "s2,o2"}
    assert netlist["instances"]["s1"]["settings"]["length"] == 5


A_AND_B = {"instances": {"a": "straight", "b": "straight"}}


@pytest.mark.parametrize(
    "target",
    [
        {"x": 100, "y": 0, "rotation": 0},  # facing, on one line: one straight
        {"x": 100, "y": 40, "rotation": 0},  # facing, offset: S-shape
        {"x": 100, "y": 3, "rotation": 0},  # facing, small offset: detour
        {"x": 60, "y": 50, "rotation": 90},  # perpendicular: L-shape
        {"x": 30, "y": -60, "rotation": 270},  # arriving southwards from above
        {"x": 2, "y": 2, "rotation": 90},  # perpendicular, too close for an L
        {"x": 60, "y": 50, "rotation": 180},  # same way: U-turn
        {"x": -40, "y": 1, "rotation": 180},  # same way, behind and level
        {"x": -50, "y": 0, "rotation": 0},  # facing away, behind
    ],
)
def test_routes_join_ports_with_a_continuous_waveguide(target):
    """Every route element chains to the next; the ends sit exactly on both ports."""
    routes = {"r": {"links": {"a,o2": "b,o1"}, "settings": {"cross_section": "strip"}}}
    c = from_yaml({**A_AND_B, "placements": {"b": target}, "routes": routes})
    route = [i for i in c.insts if i.name.startswith("route_r_0_")]
    assert route and all(i.name not in ("a", "b") for i in route)
    extracted = c.get_netlist(allow_multiple=True)
    assert extracted["nets"] == []
    assert len(extracted["connections"]) == len(route) + 1
    touched = {ref.split(",")[0] for pair in extracted["connections"].items() for ref in pair}
    assert touched == {"a", "b", *(i.name for i in route)}
    for inst in route:
        assert all(abs(p.orientation % 90) < 1e-9 for p in inst.ports)


def test_straight_route_between_facing_ports():
    routes = {"bus": {"links": {"a,o2": "b,o1"}}}
    (r,) = from_yaml({**A_AND_B, "placements": {"b": {"x": 30}}, "routes": routes}).insts[2:]
    assert (r.name, r.component.name, r.x) == ("route_bus_0_0", "straight_length20", 10.0)


def test_from_yaml_reads_a_pic_file(tmp_path):
    path = tmp_path / "one.pic.yml"
    path.write_text(yaml.safe_dump({"instances": {"s": "straight"}, "ports": {"o1": "s,o1"}}))
    assert [p.name for p in from_yaml(str(path)).ports] == ["o1"]
    assert [p.name for p in from_yaml(path).ports] == ["o1"]
    with pytest.raises(FileNotFoundError) as err:
        from_yaml("missing.pic.yml")
    assert str(err.value) == "Netlist file 'missing.pic.yml' does not exist"


def with_s(**sections):
    """A netlist of one straight `s`, plus `sections`."""
    return {"instances": {"s": "straight"}, **sections}


BAD_REF = "Invalid instance-port reference '{}': expected 'instance,port'"
THREE = {"s": "straight", "w1": "straight", "w2": "straight"}
TWICE = "Port 'o2' of instance 's' is used twice{}: by {} and by {}"


@pytest.mark.parametrize(
    ("netlist", "message"),
    [
        ([1, 2], "Netlist must be a mapping, got list"),
        ("- a\n- b\n", "Netlist must be a mapping, got list"),
        (
            {"instances": {"x": "strait"}},
            "Cell 'strait' not found in PDK 'generic'. Did you mean: straight?",
        ),
        (with_s(connections={"s,o2": "t,o1"}), "Instance 't' not found; available: s"),
        (
            {"instances": {"mmi1": "mmi1x2"}, "ports": {"p": "mmi1,o4"}},
            "Port 'o4' not found on instance 'mmi1' (component 'mmi1x2'); available: o1, o2, o3",
        ),
        (with_s(ports={"p": "s,o1,x"}), BAD_REF.format("s,o1,x")),
        (with_s(routes={"r": {"links": {"s.o1": "s,o2"}}}), BAD_REF.format("s.o1")),
        (
            with_s(placements={"s": {"angle": 90}}),
            "Unknown placement key 'angle' for instance 's'; "
            "expected any of: x, y, rotation, mirror, dx, dy",
        ),
        (
            with_s(placements={"s": {"x": "far"}}),
            "Placement x of instance 's' must be a number, got 'far'",
        ),
        ({"instances": {"s": 3}}, "Instance 's' must be a component name or a mapping, got int"),
        (  # two waveguides stacked on one port
            {
                "name": "stack",
                "instances": THREE,
                "connections": {"w1,o1": "s,o2", "w2,o1": "s,o2"},
            },
            TWICE.format(
                " in pic 'stack'", "connection 'w1,o1': 's,o2'", "connection 'w2,o1': 's,o2'"
            ),
        ),
        (
            {"instances": THREE, "connections": {"s,o2": "w1,o1", "w2,o1": "s, o2"}},
            TWICE.format("", "connection 's,o2': 'w1,o1'", "connection 'w2,o1': 's, o2'"),
        ),
        (  # a route link and a connection at once
            {
                "instances": THREE,
                "connections": {"w1,o1": "s,o2"},
                "routes": {"bus": {"links": {"s,o2": "w2,o1"}}},
            },
            TWICE.format("", "connection 'w1,o1': 's,o2'", "route 'bus' link 's,o2': 'w2,o1'"),
        ),
        (
            {
                "instances": THREE,
                "routes": {"r1": {"links": {"w1,o1": "s,o2"}}, "r2": {"links": {"s,o2": "w2,o1"}}},
            },
            TWICE.format("", "route 'r1' link 'w1,o1': 's,o2'", "route 'r2' link 's,o2': 'w2,o1'"),
        ),
    ],
)
def test_bad_netlists_name_the_bad_value(netlist, message):
    with pytest.raises(ValueError) as err:
        from_yaml(netlist)
    assert str(err.value) == message


@pytest.mark.parametrize(
    ("netlist", "warning"),
    [
        (
            {
                "name": "chain",
                "instances": THREE,
                "placements": {"w1": {"x": 5, "y": -2.5, "mirror": True}},
                "connections": {"s,o2": "w1,o1"},
            },
            "warning: placement {x: 5, y: -2.5} of instance 'w1' in pic 'chain' is ignored: "
            "connection 's,o2': 'w1,o1' moves it\n",
        ),
        (  # moved by two connections, placed once: one line
            {
                "instances": THREE,
                "placements": {"s": {"rotation": 90, "dx": 1}},
                "connections": {"w1,o2": "s,o1", "w2,o1": "s,o2"},
            },
            "warning: placement {rotation: 90, dx: 1} of instance 's' is ignored: "
            "connection 'w1,o2': 's,o1' moves it\n",
        ),
        (  # the fixed instance keeps its placement, the moved one its mirror
            {
                "instances": THREE,
                "placements": {"s": {"x": 3}, "w1": {"mirror": True}},
                "connections": {"s,o2": "w1,o1"},
            },
            "",
        ),
    ],
)
def test_placement_that_a_connection_overrides_is_reported(capsys, netlist, warning):
    from_yaml(netlist)
    assert capsys.readouterr() == ("", warning)


@pytest.mark.parametrize(
    "placement",
    [
        {"x": 10**30, "y": -7, "rotation": 0},
        {"x": 1e17, "y": 1e-05, "dx": -0.0, "dy": 5e-324},
        {"x": float("nan"), "y": float("inf"), "dx": -float("inf"), "dy": 1.7976931348623157e308},
        {"x": 0.1 + 0.2, "y": -2.5e-7, "rotation": 270.0},
    ],
)
def test_overridden_placements_are_written_as_yaml_writes_them(capsys, placement):
    netlist = {
        "instances": THREE,
        "placements": {"w1": placement},
        "connections": {"s,o2": "w1,o1"},
    }
    from_yaml(netlist)
    written = yaml.safe_dump(placement, default_flow_style=True, sort_keys=False, width=10**9)
    assert capsys.readouterr().err == (
        f"warning: placement {written.strip()} of instance 'w1' is ignored: "
        "connection 's,o2': 'w1,o1' moves it\n"
    )


def test_template_factory_caches_until_the_file_changes(tmp_path):
    path = tmp_path / "ring.pic.yml"
    path.write_text(yaml.safe_dump({"instances": {"r": "ring_single"}}))
    factory = cell_from_yaml_template(path, "ring")
    factory.__name__ = "renamed"
    first = factory()
    assert factory() is first
    assert first.name == "ring" and [i.name for i in first.insts] == ["r"]
    path.write_text(yaml.safe_dump({"instances": {"r": "ring_single", "s": "straight"}}))
    os.utime(path, ns=(0, path.stat().st_mtime_ns + 10**9))
    second = factory()
    assert second is not first and second.name == "ring"
    assert [i.name for i in second.insts] == ["r", "s"]


def test_template_factory_builds_pics_of_pics_through_the_pdk(tmp_path):
    inner = tmp_path / "inner.pic.yml"
    inner.write_text(
        yaml.safe_dump({"instances": {"s": "straight"}, "ports": {"o1": "s,o1", "o2": "s,o2"}})
    )
    outer = tmp_path / "outer.pic.yml"
    outer.write_text(
        yaml.safe_dump(
            {"instances": {"i1": "inner", "i2": "inner"}, "connections": {"i1,o2": "i2,o1"}}
        )
    )
    pdk = pl.Pdk("project", cells=dict(pl.get_active_pdk().cells))
    pdk.register_cells(
        inner=cell_from_yaml_template(inner, "inner"), outer=cell_from_yaml_template(outer, "outer")
    )
    c = pdk.get_component("outer")
    assert c.insts[0].component is c.insts[1].component
    assert c.get_netlist()["connections"] == {"i1,o2": "i2,o1"}


@pytest.mark.parametrize(
    ("files", "message"),
    [
        ({"a": "- x\n"}, "Pic file '{a}' must hold a mapping, got list"),
        (
            {"a": "instances:\n  x: b\n", "b": "instances:\n  y: a\n"},
            "Pic 'a' contains itself (through '{a}')",
        ),
    ],
)
def test_template_factory_errors_name_the_pic(tmp_path, files, message):
    pdk = pl.Pdk("project", cells=dict(pl.get_active_pdk().cells))
    paths = {name: tmp_path / f"{name}.pic.yml" for name in files}
    for name, text in files.items():
        paths[name].write_text(text)
        pdk.register_cells(**{name: cell_from_yaml_template(paths[name], name)})
    with pytest.raises(ValueError) as err:
        pdk.get_component("a")
    assert str(err.value) == message.format(**paths)


def test_yaml_syntax_errors_point_into_the_file(tmp_path):
    path = tmp_path / "bad.pic.yml"
    path.write_text("instances:\n  s: [1\n")
    with pytest.raises(yaml.YAMLError, match=re.escape(f'in "{path}", line 2')):
        cell_from_yaml_template(path, "bad")()


TRICKY_YAML = [
    "a: 1\nb: [2.5, -3e2, .inf, .NaN, 0x1f, 0o17, 017, 1_000, 190:20:30]\n"
    "c: {d: null, e: ~, f: }\n",
    "flags: [yes, No, on, OFF, true, False]\nwhen: 2001-12-14\nplain: 12:30\n",
    "base: &b {x: 1, y: 2}\nmerged: {<<: *b, y: 3}\nsame: *b\nlist: &l [1, 2]\nagain: *l\n",
    "1: int key\n1.0: float key\n~: null key\ntrue: bool key\n",
    "seq: !!set {a, b}\nodd: !!omap [a: 1, b: 2]\nbytes: !!binary aGk=\n",
    "s: !!str 12\nt: !!float 3\nself: &s [*s]\n",
    "'quoted': \"tab\\there\"\nfolded: >\n  one\n  two\nliteral: |\n  keep\n  lines\n",
    "---\nonly: document\n...\n",
    "",
    "just a scalar",
]


@pytest.mark.parametrize("text", TRICKY_YAML)
def test_pic_yaml_loads_what_the_python_loader_loads(text):
    from polyloom.read.pic_yaml import safe_load

    expected = yaml.load(text, Loader=yaml.SafeLoader)
    loaded = safe_load(text)
    assert repr(loaded) == repr(expected)


@pytest.mark.parametrize(
    "text",
    [
        "instances:\n  s: [1\n",
        "a: 1\n a: 2\n",
        "a: !custom 1\n",
        "one: 1\n---\ntwo: 2\n",
        "? [1, 2]\n: x\nm: {? {a: 1} : b}\n",
        "a: \x07\n",
    ],
)
@pytest.mark.parametrize("libyaml", [True, False])
def test_pic_yaml_errors_are_the_python_loaders(tmp_path, monkeypatch, text, libyaml):
    from polyloom.read import pic_yaml
    from polyloom.read.netlist_reader import load_netlist

    if not libyaml:
        monkeypatch.setattr(pic_yaml, "_CParsedLoader", None)
    path = tmp_path / "bad.pic.yml"
    path.write_text(text)
    with open(path, encoding="utf-8") as stream, pytest.raises(yaml.YAMLError) as expected:
        yaml.load(stream, Loader=yaml.SafeLoader)
    with pytest.raises(yaml.YAMLError) as raised:
        load_netlist(path)
    assert (type(raised.value), str(raised.value)) == (type(expected.value), str(expected.value))


def test_example_pics_load_as_the_python_loader_loads(examples_dir):
    from polyloom.read.netlist_reader import load_netlist

    for path in sorted(examples_dir.rglob("*.pic.yml")):
        assert load_netlist(path) == yaml.load(path.read_text(), Loader=yaml.SafeLoader), path
