"""Reading element-set files, whole files at a time (medians of alternating
runs): a synthetic catalogue of 30,000 element sets as two-line text with
name lines, and as OMM in CSV, JSON (numbers, as one provider writes them,
and strings, as the other does) and XML.

Each reader is timed against the sgp4 package in the same run: for
two-line text, Satrec.twoline2rv on every set (which validates nothing,
and also initialises its model); for OMM, sgp4.omm's parser (json.loads for
JSON, which sgp4.omm has no parser of) and omm.initialize on every record.

    python benchmarks/bench_elements_io.py [--sets 30000] [--rounds 7]
"""

import argparse
import csv
import datetime
import io
import json
import pyexpat
import random
import statistics
import time

from sgp4 import omm
from sgp4.api import Satrec

from orbivane.propagators.analytical.sgp4.elements import Elements, read_omm, read_tle, write_omm, write_tle

# (what, goal in ms for 30,000 sets, goal as a ratio to sgp4)
GOALS = {"two-line text": (30.0, 1 / 3), "OMM CSV": (60.0, None), "OMM JSON, numbers": (100.0, None),
         "OMM JSON, strings": (100.0, None), "OMM XML": (300.0, None)}


def catalogue(count, seed=2024):
    """Element sets with every field drawn at random within what two-line
    text carries, each with a name."""
    rng = random.Random(seed)
    start = datetime.datetime(2024, 1, 1)
    elements = []
    for i in range(count):
        epoch = start + datetime.timedelta(days=rng.uniform(0, 365))
        elements.append(Elements(
            norad_cat_id=i * 11 % 339999, object_name=f"OBJECT {i} DEB", classification_type="U",
            object_id=f"{rng.randrange(1957, 2025)}-{rng.randrange(1, 999):03d}{rng.choice('ABCDEFGH')}",
            epoch=epoch.isoformat(timespec="microseconds"), mean_motion=round(rng.uniform(0.9, 16.5), 8),
            eccentricity=round(rng.uniform(0, 0.75), 7), inclination=round(rng.uniform(0, 180), 4),
            ra_of_asc_node=round(rng.uniform(0, 359.9999), 4), arg_of_pericenter=round(rng.uniform(0, 359.9999), 4),
            mean_anomaly=round(rng.uniform(0, 359.9999), 4), bstar=float(f"{rng.uniform(-9, 9):.4f}e-4"),
            mean_motion_dot=round(rng.uniform(-1e-4, 1e-4), 8), mean_motion_ddot=float(f"{rng.uniform(0, 9):.4f}e-9"),
            element_set_no=rng.randrange(1, 9999), rev_at_epoch=rng.randrange(0, 99999)))
    # Two-line text rounds the epoch to 1e-8 day; read back, every form
    # holds the same sets.
    return read_tle(write_tle(elements))


def sgp4_two_line(text):
    lines = text.splitlines()
    return [Satrec.twoline2rv(lines[i + 1], lines[i + 2]) for i in range(0, len(lines), 3)]


def initialized(records):
    sats = []
    for fields in records:
        sat = Satrec()
        omm.initialize(sat, fields)
        sats.append(sat)
    return sats


def alternating_medians(contenders, rounds):
    """(wall, CPU) ms per call of each contender: medians over rounds in
    which the contenders take turns, so that a change in the machine's load
    during the run falls on all of them alike. The process's CPU time is
    the steadier figure on a shared machine."""
    times = {name: ([], []) for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            wall, cpu = time.perf_counter(), time.process_time()
            call()
            times[name][0].append((time.perf_counter() - wall) * 1e3)
            times[name][1].append((time.process_time() - cpu) * 1e3)
    return {name: (statistics.median(w), statistics.median(c)) for name, (w, c) in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", type=int, default=30000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    elements = catalogue(args.sets)
    tle = write_tle(elements)
    json_numbers = write_omm(elements, format="json")
    json_strings = json.dumps([{k: str(v) for k, v in r.items()} for r in json.loads(json_numbers)])
    csv_text = write_omm(elements, format="csv")
    xml_text = write_omm(elements, format="xml").encode()
    cases = {
        "two-line text": (lambda: read_tle(tle), lambda: sgp4_two_line(tle)),
        "OMM CSV": (lambda: read_omm(csv_text), lambda: initialized(omm.parse_csv(io.StringIO(csv_text)))),
        "OMM JSON, numbers": (lambda: read_omm(json_numbers), lambda: initialized(json.loads(json_numbers))),
        "OMM JSON, strings": (lambda: read_omm(json_strings), lambda: initialized(json.loads(json_strings))),
        "OMM XML": (lambda: read_omm(xml_text), lambda: initialized(omm.parse_xml(io.BytesIO(xml_text)))),
    }
    # The standard library's parsing alone, the floor of a reader built on
    # it: for XML, expat with no handlers, which ours drives.
    floors = {"OMM CSV": lambda: list(csv.reader(io.StringIO(csv_text))),
              "OMM JSON, numbers": lambda: json.loads(json_numbers),
              "OMM JSON, strings": lambda: json.loads(json_strings),
              "OMM XML": lambda: pyexpat.ParserCreate(namespace_separator="}").Parse(xml_text, True)}
    for name, (ours, _) in cases.items():
        assert len(ours()) == args.sets, name
    assert read_omm(csv_text) == read_omm(json_strings) == read_omm(xml_text) == elements

    print(f"{args.sets} element sets, medians of {args.rounds} alternating runs, wall (CPU) ms; 'stdlib' is "
          "the standard library's parse alone")
    print(f"{'file':<19}{'ours':>16}{'sgp4':>18}{'ratio':>14}{'stdlib':>16}   goal")
    for name, (ours, theirs) in cases.items():
        contenders = {"ours": ours, "sgp4": theirs}
        if name in floors:
            contenders["floor"] = floors[name]
        ms = alternating_medians(contenders, args.rounds)
        goal_ms, goal_ratio = GOALS[name]
        goal = f"<= {goal_ms * args.sets / 30000:.0f} ms" + (f", ratio <= {goal_ratio:.2f}" if goal_ratio else "")
        cells = [f"{wall:.1f} ({cpu:.1f})" for wall, cpu in (ms["ours"], ms["sgp4"], ms.get("floor", (0, 0)))]
        ratio = f"{ms['ours'][0] / ms['sgp4'][0]:.3f} ({ms['ours'][1] / ms['sgp4'][1]:.3f})"
        floor = cells[2] if "floor" in ms else ""
        print(f"{name:<19}{cells[0]:>16}{cells[1]:>18}{ratio:>14}{floor:>16}   {goal}")


if __name__ == "__main__":
    main()
