#!/usr/bin/env python3
"""Writes the demo's drawn portrait and its face-processor bundle.

    apps/demo/sample/make_sample.py [OUTDIR]    (default: this script's directory)

portrait.png           a 480 x 640 drawing of a face: too plain for a face detector, so the
                       demo's face check finds no face in it
face_processor.bundle  the face-processor bundle the stand-in engine loads: it names the 68-point
                       landmark model that Debian's libdlib-data installs

Only the Python standard library is used; the output is the same on every run.
"""
import json
import math
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 480, 640
# The face: an ellipse centred in the picture, so the centring check sees it in the middle.
CX, CY, RX, RY = 240, 330, 120, 155

BACKGROUND_TOP = (196, 214, 230)
BACKGROUND_BOTTOM = (120, 150, 180)
SKIN = (236, 196, 164)
HAIR = (92, 58, 36)
EYE_WHITE = (250, 250, 250)
IRIS = (60, 90, 120)
BROW = (80, 50, 30)
MOUTH = (176, 84, 84)
SHIRT = (70, 110, 90)


def inside_ellipse(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def pixel(x, y):
    # Drawn back to front: background, shoulders, hair, face, features.
    t = y / (HEIGHT - 1)
    colour = tuple(round(a + (b - a) * t) for a, b in zip(BACKGROUND_TOP, BACKGROUND_BOTTOM))
    if inside_ellipse(x, y, CX, HEIGHT + 60, 230, 190):
        colour = SHIRT
    if inside_ellipse(x, y, CX, CY - 30, RX + 18, RY + 10) and y < CY + 20:
        colour = HAIR
    if inside_ellipse(x, y, CX, CY, RX, RY) and not (y < CY - 95 and abs(x - CX) < RX):
        colour = SKIN
    for ex in (CX - 45, CX + 45):
        if inside_ellipse(x, y, ex, CY - 25, 22, 11):
            colour = EYE_WHITE
        if inside_ellipse(x, y, ex, CY - 25, 8, 8):
            colour = IRIS
        if abs(y - (CY - 52 + 0.02 * (x - ex) ** 2)) < 3 and abs(x - ex) < 26:
            colour = BROW
    if abs(x - CX) < 6 and CY - 10 < y < CY + 30 and x - CX > -6 + (y - CY) * 0.1:
        colour = tuple(max(0, c - 18) for c in SKIN)
    # A closed, level mouth: the expression stays neutral.
    if abs(x - CX) < 38 and abs(y - (CY + 74 - 0.003 * (x - CX) ** 2)) < 4:
        colour = MOUTH
    return colour


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bundle(meta, payload):
    text = json.dumps(meta, separators=(",", ":")).encode()
    return b"QELBNDL1" + struct.pack("<I", len(text)) + text + payload


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rows = [[pixel(x, y) for x in range(WIDTH)] for y in range(HEIGHT)]
    with open(os.path.join(out, "portrait.png"), "wb") as f:
        f.write(png(WIDTH, HEIGHT, rows))
    with open(os.path.join(out, "face_processor.bundle"), "wb") as f:
        f.write(bundle({"category": "face_processor", "name": "demo_face_processor",
                        "model": "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"},
                       b"velmora demo face processor\n"))


if __name__ == "__main__":
    main()
