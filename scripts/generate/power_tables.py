#!/usr/bin/env python3
"""Writes the snapshot reader's and writer's power tables, computed exactly in
integer arithmetic: src/snapshot/five_powers.hpp and src/snapshot/ten_powers.hpp.

    python3 scripts/generate/power_tables.py           rewrite both files
    python3 scripts/generate/power_tables.py --check   exit 1 if either differs
"""

from __future__ import annotations

import sys
from fractions import Fraction
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SNAPSHOT = ROOT / "src" / "snapshot"

FIVE_MIN, FIVE_MAX = -342, 308
TEN_MIN, TEN_MAX = -324, 292

FIVE_HEADER = """\
// The powers of five behind read_short_real: for q in -342..308, 5^q
// normalised to 128 bits (2^127 <= f < 2^128), split as f = hi * 2^64 + lo.
// Non-negative powers are truncated; negative ones are 2^b / 5^-q rounded up,
// with b = 2z + 128 (z the bit length of 5^-q), truncated to 128 bits (b = z + 127
// when q >= -27, where the value fits exactly). Computed exactly in integer
// arithmetic, e.g. in Python:
//   q >= 0: f = 5**q shifted left or right into [2**127, 2**128)
//   q < 0:  f = 2**b // 5**-q + 1, halved until below 2**128
#pragma once

#include <array>
#include <cstdint>

namespace drel::snapshot {

struct FivePower {
  std::uint64_t hi;
  std::uint64_t lo;
};

inline constexpr int kFivePowerMinExponent = -342;
inline constexpr int kFivePowerMaxExponent = 308;

"""

TEN_HEADER = """\
// The powers of ten behind shortest_decimal: for every decimal exponent k a
// double's digits can have (-324..292), g(k) = floor(beta) + 1 where
// 10^-k = beta * 2^r with 2^125 <= beta < 2^126, split as g = hi * 2^63 + lo.
// Each entry is computed exactly in integer arithmetic, e.g. in Python:
//   p = Fraction(10) ** -k; r = floor(log2(p)) - 125; g = floor(p / 2**r) + 1
#pragma once

#include <array>
#include <cstdint>

namespace drel::snapshot {

struct TenPower {
  std::uint64_t hi;  // g >> 63
  std::uint64_t lo;  // g & (2^63 - 1)
};

inline constexpr int kTenPowerMinExponent = -324;

"""

FOOTER = """\
}};

}  // namespace drel::snapshot
"""


def five_power(q: int) -> int:
    if q >= 0:
        f = 5**q
        while f >= 2**128:
            f >>= 1
        while f < 2**127:
            f <<= 1
        return f
    divisor = 5**-q
    z = divisor.bit_length()
    b = z + 127 if q >= -27 else 2 * z + 128
    f = 2**b // divisor + 1
    while f >= 2**128:
        f >>= 1
    return f


def floor_log2(p: Fraction) -> int:
    """floor(log2(p)) for p > 0, exactly."""
    e = p.numerator.bit_length() - p.denominator.bit_length()
    while Fraction(2) ** e > p:
        e -= 1
    while Fraction(2) ** (e + 1) <= p:
        e += 1
    return e


def ten_power(k: int) -> int:
    p = Fraction(10) ** -k
    r = floor_log2(p) - 125
    return int(p / Fraction(2) ** r) + 1  # int() floors a positive fraction


def table_text(header: str, entry: str, name: str, rows: list[tuple[int, int, str]]) -> str:
    opening = f"inline constexpr std::array<{entry}, {len(rows)}> {name}{{{{\n"
    lines = [f"    {{0x{hi:016X}, 0x{lo:016X}}},  // {label}\n" for hi, lo, label in rows]
    return header + opening + "".join(lines) + FOOTER


def five_powers_text() -> str:
    powers = [(five_power(q), f"5^{q}") for q in range(FIVE_MIN, FIVE_MAX + 1)]
    rows = [(f >> 64, f & (2**64 - 1), label) for f, label in powers]
    return table_text(FIVE_HEADER, "FivePower", "kFivePowers", rows)


def ten_powers_text() -> str:
    powers = [(ten_power(k), str(k)) for k in range(TEN_MIN, TEN_MAX + 1)]
    rows = [(g >> 63, g & (2**63 - 1), label) for g, label in powers]
    return table_text(TEN_HEADER, "TenPower", "kTenPowers", rows)


TABLES = {"five_powers.hpp": five_powers_text, "ten_powers.hpp": ten_powers_text}


def main(argv: list[str]) -> int:
    check = argv[1:] == ["--check"]
    stale = []
    for name, text in TABLES.items():
        path = SNAPSHOT / name
        wanted = text()
        if check:
            if path.read_text() != wanted:
                stale.append(name)
        else:
            path.write_text(wanted)
    for name in stale:
        print(f"src/snapshot/{name} differs from what scripts/generate/power_tables.py writes",
              file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
