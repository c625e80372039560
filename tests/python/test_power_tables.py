"""The power tables of the snapshot number code are generated: checked in, and
regenerated here to show that the checked-in text is exactly the generator's."""

import pathlib
import runpy

import pytest

GENERATOR = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "generate" / "power_tables.py"


@pytest.fixture(scope="module")
def generator():
    return runpy.run_path(str(GENERATOR))


@pytest.mark.parametrize("name", ["five_powers.hpp", "ten_powers.hpp"])
def test_checked_in_table_is_the_generated_one(generator, name):
    assert (generator["SNAPSHOT"] / name).read_text() == generator["TABLES"][name]()


def test_entries_meet_their_bounds(generator):
    # The normalisations the readers rely on, stated independently of the loops.
    for q in (-342, -28, -27, -1, 0, 1, 308):
        assert 2**127 <= generator["five_power"](q) < 2**128
    for k in (-324, -1, 0, 1, 292):
        assert 2**125 < generator["ten_power"](k) <= 2**126
