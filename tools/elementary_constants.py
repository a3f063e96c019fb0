"""Derives the constants of the elementary functions over the lane types
(src/orbivane/_native/simd/): the minimax polynomials, the parts of pi/2 and
pi/4, and the bits of 2/pi for the reduction of huge arguments.

    python tools/elementary_constants.py [--constants]

Prints C++ initialisers (--constants: only those of the reductions); the
headers hold the printed values. Each
polynomial is the minimax one (Remez exchange, in 160-bit arithmetic) for
the error that it adds to the function's result, relative to that result;
its coefficients are then rounded to doubles one at a time, from the lowest
degree up, each rounding followed by a new minimax fit of the coefficients
still free, so that the later ones absorb the rounding of the earlier. The
printed error bound is that of the rounded polynomial, measured on a dense
grid in 160-bit arithmetic.
"""

from __future__ import annotations

import sys

import mpmath as mp

mp.mp.prec = 160


def series(terms):
    """z -> sum of terms(k) * z**k for k >= 0, until the terms vanish."""
    def f(z):
        total, k = mp.mpf(0), 0
        while True:
            t = terms(k) * z**k
            total += t
            if k > 4 and abs(t) < mp.mpf(2) ** -170 * (abs(total) + 1):
                return total
            k += 1
    return f


def remez(g, w, lo, hi, degree, fixed=(), iterations=30):
    """Coefficients c of sum c_j z**j (the first len(fixed) given) that
    minimise max |w(z) (g(z) - p(z))| over [lo, hi]; returns (c, error)."""
    k = len(fixed)
    free = degree + 1 - k
    # The free coefficients fit g less the fixed part, in the basis z**j,
    # j >= k.
    def gk(z):
        return g(z) - sum(c * z**j for j, c in enumerate(fixed))
    wk = w
    nodes = [lo + (hi - lo) * (1 - mp.cos(mp.pi * i / (free))) / 2 for i in range(free + 1)]
    grid = [lo + (hi - lo) * (1 - mp.cos(mp.pi * i / 800)) / 2 for i in range(801)]
    coeffs, err = None, None
    for _ in range(iterations):
        rows = [[z**(k + j) for j in range(free)] + [(-1) ** i / wk(z)] for i, z in enumerate(nodes)]
        sol = mp.lu_solve(mp.matrix(rows), mp.matrix([gk(z) for z in nodes]))
        coeffs = [sol[j] for j in range(free)]
        def e(z):
            return wk(z) * (gk(z) - sum(c * z**(k + j) for j, c in enumerate(coeffs)))
        values = [e(z) for z in grid]
        # The largest |error| in each run of one sign.
        runs, start = [], 0
        for i in range(1, len(grid) + 1):
            if i == len(grid) or mp.sign(values[i]) != mp.sign(values[start]):
                best = max(range(start, i), key=lambda j: abs(values[j]))
                runs.append(best)
                start = i
        while len(runs) > free + 1:
            # Drop the smallest end, or merge the smallest interior pair.
            if abs(values[runs[0]]) < abs(values[runs[-1]]):
                runs.pop(0)
            else:
                runs.pop()
        if len(runs) < free + 1:
            break
        nodes = [grid[j] for j in runs]
        err = max(abs(v) for v in values)
        if err < abs(values[min(runs, key=lambda j: abs(values[j]))]) * (1 + mp.mpf(10) ** -3):
            break
    return [*fixed, *coeffs], err


def rounded_fit(g, w, lo, hi, degree):
    """Coefficients rounded to doubles one at a time, as the docstring of the
    module says; returns (doubles, error of the rounded polynomial)."""
    fixed = []
    for j in range(degree + 1):
        c, _ = remez(g, w, lo, hi, degree, fixed)
        fixed.append(mp.mpf(float(c[j])))
    grid = [lo + (hi - lo) * i / 4000 for i in range(4001)]
    err = max(abs(w(z) * (g(z) - sum(c * z**j for j, c in enumerate(fixed)))) for z in grid)
    return [float(c) for c in fixed], err


def show(name, coeffs, err, what):
    print(f"// {what}; max error {float(err):.3g} = 2^{float(mp.log(err, 2)):.1f}")
    body = ",\n    ".join(repr(c) for c in coeffs)
    print(f"inline constexpr double {name}[] = {{\n    {body},\n}};\n")


def main():
    # Reduced arguments of sin and cos: |r| <= pi/4, with room for k off by
    # one rounding of x * 2/pi and for the low part of r.
    rmax = mp.pi / 4 * (1 + mp.mpf(2) ** -40)
    zmax = rmax**2
    # sin r = r + r z S(z), z = r^2: S(z) = sum (-1)^(k+1) z^k / (2k+3)!.
    S = series(lambda k: (-1) ** (k + 1) / mp.factorial(2 * k + 3))
    show("kSinPoly", *rounded_fit(S, lambda z: z * mp.sqrt(z) / mp.sin(mp.sqrt(z)), zmax * 1e-9, zmax, 6),
         "sin r = r + r z S(z), z = r^2, |r| <= pi/4; error of r z S(z) relative to sin r")
    # cos r = 1 - z/2 + z^2 C(z): C(z) = sum (-1)^k z^k / (2k+4)!.
    C = series(lambda k: (-1) ** k / mp.factorial(2 * k + 4))
    show("kCosPoly", *rounded_fit(C, lambda z: z * z / mp.cos(mp.sqrt(z)), zmax * 1e-9, zmax, 5),
         "cos r = 1 - z/2 + z^2 C(z), |r| <= pi/4; error of z^2 C(z) relative to cos r")
    # atan t = t + t z P(z), |t| <= tan(pi/8) (and a little room).
    tmax = mp.tan(mp.pi / 8) * (1 + mp.mpf(2) ** -20)
    P = series(lambda k: (-1) ** (k + 1) / mp.mpf(2 * k + 3))
    show("kAtanPoly", *rounded_fit(P, lambda z: z * mp.sqrt(z) / mp.atan(mp.sqrt(z)), tmax**2 * 1e-9, tmax**2, 10),
         "atan t = t + t z P(z), z = t^2, |t| <= tan(pi/8); error relative to atan t")
    # The first guess of u^(-1/3), u in [1, 2], for the Newton steps of cbrt.
    show("kRcbrtPoly", *rounded_fit(lambda u: u ** (-mp.mpf(1) / 3), lambda u: u ** (mp.mpf(1) / 3), 1, 2, 5),
         "u^(-1/3) on [1, 2]; relative error")

    constants()


def constants():
    """The parts of pi/2 and pi/4, and the bits of 2/pi, in 1400-bit
    arithmetic."""
    with mp.workprec(1400):
        rest, halfpi = mp.pi / 2, []
        for _ in range(3):
            halfpi.append(float(rest))
            rest -= halfpi[-1]
        print("// pi/2 = P1 + P2 + P3:", ", ".join(map(repr, halfpi)))
        print("// 2/pi:", repr(float(2 / mp.pi)))
        # pi/4 = hi + lo, hi with at most 50 significant bits, so that
        # k * hi is exact for k <= 4.
        hi = mp.floor(mp.pi / 4 * 2**50) / 2**50
        print("// pi/4 = hi + lo:", repr(float(hi)), repr(float(mp.pi / 4 - hi)))
        # 2/pi: the 1216 bits after the binary point, as 19 words, after a
        # first word of zeros (for arguments whose window starts before the
        # point).
        bits = int(mp.floor(2 / mp.pi * mp.mpf(2) ** 1216))
    words = [0] + [(bits >> (64 * (18 - i))) & (2**64 - 1) for i in range(19)]
    print("inline constexpr std::uint64_t kTwoOverPiBits[] = {")
    for i in range(0, len(words), 4):
        print("    " + " ".join(f"0x{w:016x}," for w in words[i:i + 4]))
    print("};")


if __name__ == "__main__":
    if "--constants" in sys.argv:
        constants()
    else:
        main()
