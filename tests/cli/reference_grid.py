#!/usr/bin/env python3
"""Independent reference for the tile lists: the grid formulas written out plainly in Python.

Usage: reference_grid.py TYPE LEVEL LAT1,LAT2,LON1,LON2
Prints the list lines (CR LF ended) that `tessaro list` must print for that request.
Out-of-grid parts of a request are clamped to the grid's edge tiles.
"""
import math
import sys

DEC_PI = 3.14159265358979
H = 20015086.796020553
A = 6378137.0
B = 6356752.3142


def num(v):
    if v == 0:
        return "0"
    text = "%.15g" % v
    assert "e" not in text, text
    return text


def spherical(ttype, level, lat1, lat2, lon1, lon2):
    offset = 1 if ttype == 4 else 0
    n = 2 ** (level + offset + 6)
    pixel = round(H / n, 9)
    last_pixel = 2 * n - 1

    def pix_to_tile(p):
        p = math.floor(p) if math.isfinite(p) else (-1 if p < 0 else last_pixel + 1)
        return min(max(p, 0), last_pixel) // 256

    def col(lon):
        return pix_to_tile(n * (lon / 180 + 1))

    def row(lat):
        s = math.sin(lat * DEC_PI / 180)
        if s >= 1:
            return 0
        if s <= -1:
            return pix_to_tile(math.inf)
        y = 1 - (0.5 * math.log((1 + s) / (1 - s))) / DEC_PI
        return pix_to_tile(n * y)

    def quadkey(c, r):
        half = 2 ** (level - 1)
        key = "t"
        for _ in range(2, level + 1):
            half //= 2
            if r < half and c < half:
                key += "q"
            elif r < half:
                key += "r"
                c -= half
            elif c < half:
                key += "t"
                r -= half
            else:
                key += "s"
                c -= half
                r -= half
        return key

    for r in range(row(lat2), row(lat1) + 1):
        for c in range(col(lon1), col(lon2) + 1):
            x = (c * 256 - n) * pixel + pixel / 2
            y = (n - r * 256) * pixel - pixel / 2
            yield [str(c), str(r), num(x), num(y), num(pixel), num(-pixel), quadkey(c, r)]


def ellipsoidal(ttype, level, lat1, lat2, lon1, lon2):
    pixel = (2 * (4 * math.atan(1)) * A / 256) / 2 ** level
    tile = 256 * pixel
    half = 2 ** (level - 1)
    e = math.sqrt(1 - (B / A) ** 2)

    def clamp(t):
        return min(max(math.floor(t), -half), half - 1)

    def merc_x(lon):
        return lon * (DEC_PI / 180) * A

    def merc_y(lat):
        lat = max(min(lat, 89.5), -89.5)
        phi = lat * (DEC_PI / 180)
        con = ((1 - e * math.sin(phi)) / (1 + e * math.sin(phi))) ** (e / 2)
        return 0 - A * math.log(math.tan(0.5 * (1.570796326794895 - phi)) / con)

    prefix = {2: "s", 3: "m", 50: "sy", 51: "my"}[ttype]
    for c in range(clamp(merc_x(lon1) / tile), clamp(merc_x(lon2) / tile) + 1):
        for r in range(clamp(merc_y(lat1) / tile), clamp(merc_y(lat2) / tile) + 1):
            nx, ny = c, r
            if ttype in (50, 51):
                nx, ny = 2 ** level // 2 + c, 2 ** level // 2 - r - 1
            yield [str(nx), str(ny), num(c * tile), num(r * tile), num(pixel), num(-pixel),
                   "%s%d_%d_%d" % (prefix, level, nx, ny)]


def main():
    ttype, level = int(sys.argv[1]), int(sys.argv[2])
    lat1, lat2, lon1, lon2 = (float(v) for v in sys.argv[3].split(","))
    rows = ellipsoidal if ttype in (2, 3, 50, 51) else spherical
    out = sys.stdout.buffer
    for fields in rows(ttype, level, lat1, lat2, lon1, lon2):
        out.write((";".join(fields) + "\r\n").encode())


if __name__ == "__main__":
    main()
