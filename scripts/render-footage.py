#!/usr/bin/env python3
"""Renders tabletop footage of a scene's bricks with POV-Ray, with the true camera.

The program's own renderer draws flat bricks; footage from a ray tracer has what a
real table has and the flat renderer lacks (rounded block edges, wood grain, soft
shadows, a room behind), so the reconstructor can be measured on pictures it did
not make itself, against a camera that is known exactly.

Writes into the output directory:
  clip.mp4       H.264 at webcam quality, 30 frames per second
  reference.png  the first frame, as the scene's reference picture
  scene.json     the input scene with "picture": "reference.png", every point's
                 "reference" where the first frame's camera sees it, and "edgeRadius"
  truth.csv      the camera of every frame

Camera convention (the program's, held exactly): a pinhole at the picture centre
with square pixels; pixel column x (0 = left) and row r (0 = top) sample the image
point u = x - W/2, v = (H - 1 - r) - H/2 with focal length f = (H/2)/tan(fov/2).
`--check-projection` renders small glowing spheres and compares their centroids
with this formula.
"""

import argparse
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

FPS = 30
REST_FRAMES = 30  # one second at the reference camera before the camera moves


# ---------------------------------------------------------------- vectors

def add(a, b):
    return [a[0] + b[0], a[1] + b[1], a[2] + b[2]]


def sub(a, b):
    return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]


def mul(s, a):
    return [s * a[0], s * a[1], s * a[2]]


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def norm(a):
    length = math.sqrt(dot(a, a))
    return [a[0] / length, a[1] / length, a[2] / length]


def rotate(v, axis, angle):
    """Rodrigues: v turned by `angle` (radians) about the unit `axis`."""
    c, s = math.cos(angle), math.sin(angle)
    return add(add(mul(c, v), mul(s, cross(axis, v))), mul(dot(axis, v) * (1.0 - c), axis))


def smoothstep(x):
    x = min(max(x, 0.0), 1.0)
    return x * x * (3.0 - 2.0 * x)


# ---------------------------------------------------------------- camera

class Camera:
    """Eye, unit forward and unit up (perpendicular), vertical field of view in degrees."""

    def __init__(self, eye, forward, up, fov):
        self.eye = list(eye)
        self.forward = norm(forward)
        self.up = norm(sub(up, mul(dot(up, self.forward), self.forward)))
        self.fov = fov

    @property
    def side(self):
        return cross(self.forward, self.up)  # picture's right in a right-handed world, z up

    def focal(self, height):
        return (height / 2.0) / math.tan(math.radians(self.fov) / 2.0)

    def project(self, point, width, height):
        """Column and row (from the top) where `point` appears; None behind the eye."""
        d = sub(point, self.eye)
        depth = dot(self.forward, d)
        if depth <= 1e-9:
            return None
        f = self.focal(height)
        u = f * dot(self.side, d) / depth
        v = f * dot(self.up, d) / depth
        return (u + width / 2.0, (height - 1) - height / 2.0 - v)

    def ground_look(self):
        """Where the viewing ray meets z = 0 (a point ahead when it never does)."""
        if self.forward[2] < -1e-9:
            t = -self.eye[2] / self.forward[2]
            return add(self.eye, mul(t, self.forward))
        return add(self.eye, mul(100.0, self.forward))

    def pov(self, width, height):
        """POV-Ray camera with this camera's pixels.

        Given explicit direction/right/up (no look_at), POV-Ray sends the ray of
        pixel column i, row j along direction + ((i+0.5)/W - 0.5)·right +
        (0.5 - (j+0.5)/H)·up, in plain world coordinates: its left-handedness only
        matters for look_at, which is not used. With right = W·side and up = H·up
        that is pixel i at u = i + 0.5 - W/2 and row j at v = H/2 - 0.5 - j; the
        program puts them at u = i - W/2 and v = H/2 - 1 - j, so the direction is
        moved by half a pixel left and half a pixel down.
        """
        f = self.focal(height)
        side = self.side
        direction = sub(sub(mul(f, self.forward), mul(0.5, side)), mul(0.5, self.up))
        return ("camera {\n  perspective\n  location %s\n  direction %s\n  right %s\n  up %s\n}\n"
                % (vec(self.eye), vec(direction), vec(mul(width, side)), vec(mul(height, self.up))))


def vec(a):
    return "<%.10f, %.10f, %.10f>" % (a[0], a[1], a[2])


def rest_camera(eye, look, fov):
    return Camera(eye, sub(look, eye), [0.0, 0.0, 1.0], fov)


class Shake:
    """Smooth random jitter: a few sines per axis with random periods and phases."""

    def __init__(self, rng, count=4):
        self.terms = [[(rng.uniform(0.3, 2.5), rng.uniform(0, 2 * math.pi), rng.uniform(0.5, 1.0))
                       for _ in range(count)] for _ in range(6)]
        for axis in self.terms:
            total = math.sqrt(sum(a * a for _, _, a in axis) / 2.0)
            for i, (hz, phase, a) in enumerate(axis):
                axis[i] = (hz, phase, a / total)  # unit root mean square per axis

    def at(self, seconds):
        return [sum(a * math.sin(2 * math.pi * hz * seconds + phase) for hz, phase, a in axis)
                for axis in self.terms]


def path_camera(rest, look, time_frames, path, frames, shake):
    """The camera at `time_frames` (fractional for motion blur) along the path.

    Like the program's virtual camera: at rest first, then a swing about the
    vertical through the point looked at, so the structure stays in view, with the
    distance and the height breathing at other periods. The handheld path adds a
    roll, a smooth shake of position and aim, and is never quite still.
    """
    moving = max(time_frames - REST_FRAMES, 0.0)
    span = max(frames - REST_FRAMES, 60)
    ease = smoothstep(moving / 45.0)
    phase = 2 * math.pi * moving / (0.92 * span)
    azimuth = math.radians(22.0) * math.sin(phase) * ease
    offset = sub(rest.eye, look)
    distance = math.sqrt(dot(offset, offset))
    scale = 1.0 + 0.06 * math.sin(2 * math.pi * moving / (0.71 * span)) * ease
    height = 0.06 * distance * math.sin(2 * math.pi * moving / (0.53 * span)) * ease
    z = [0.0, 0.0, 1.0]
    eye = add(look, mul(scale, rotate(offset, z, azimuth)))
    eye[2] += height
    up = rotate(rest.up, z, azimuth)
    forward = sub(look, eye)
    if path == "handheld":
        seconds = time_frames / FPS
        j = shake.at(seconds)
        amount = 0.35 + 0.65 * ease  # a hand is never still, less so while aiming
        eye = add(eye, mul(0.006 * distance * amount, j[0:3]))
        cam = Camera(eye, sub(look, eye), up, rest.fov)
        forward = rotate(cam.forward, cam.up, math.radians(0.5) * amount * j[3])
        forward = rotate(forward, cam.side, math.radians(0.5) * amount * j[4])
        up = sub(cam.up, mul(dot(cam.up, forward), forward))
        roll = math.radians(8.0) * math.sin(2 * math.pi * moving / (0.83 * span) + 0.4) * ease \
            + math.radians(0.4) * amount * j[5]
        up = rotate(norm(up), forward, roll)
    return Camera(eye, forward, up, rest.fov)


# ---------------------------------------------------------------- scene

def load_scene(path):
    with open(path) as f:
        scene = json.load(f)
    edge = float(scene["brickEdge"])
    points = []
    for p in scene["points"]:
        if "grid" in p:
            points.append([edge * float(c) for c in p["grid"]])
        else:
            points.append([float(c) for c in p["model"]])
    cells = []
    for c in scene["realBricks"]:
        t = tuple(int(x) for x in c)
        if t not in cells:  # a brick listed twice is one block
            cells.append(t)
    return scene, edge, points, cells


def seen_corner(point, grid, cells, radius):
    """Where a grid corner of blocks rounded by `radius` is seen: r(1 - 1/sqrt 3)
    inside along each axis in which the blocks at the corner agree, as the
    program models it."""
    if grid is None or radius <= 0.0:
        return point
    side = None
    for di in (-1, 0):
        for dj in (-1, 0):
            for dk in (-1, 0):
                if (grid[0] + di, grid[1] + dj, grid[2] + dk) not in cells:
                    continue
                towards = [1 if d == 0 else -1 for d in (di, dj, dk)]
                side = towards if side is None else [a if a == b else 0 for a, b in zip(side, towards)]
    if side is None:
        return point
    inset = radius * (1.0 - 1.0 / math.sqrt(3.0))
    return [c + inset * s for c, s in zip(point, side)]


def srgb(c):
    c = min(max(c, 0.0), 1.0)
    return 12.92 * c if c <= 0.0031308 else 1.055 * c ** (1 / 2.4) - 0.055


def grey_of(rgb):
    return 0.299 * srgb(rgb[0]) + 0.587 * srgb(rgb[1]) + 0.114 * srgb(rgb[2])


def matched_paints(light, exposure=0.85):
    """Red, green and blue paints that show the same grey under `light`.

    The reconstructor sees grey; blocks that differ only in hue then part only
    where their faces are lit differently, as a webcam shows painted toys under
    a warm lamp. Each hue is scaled until its grey under the lamp meets the
    darkest of the three at full strength.
    """
    hues = [(0.95, 0.10, 0.07), (0.10, 0.80, 0.16), (0.10, 0.22, 1.00)]

    def grey(hue, s):
        return grey_of([exposure * s * hue[i] * light[i] for i in range(3)])

    target = min(grey(h, 1.0) for h in hues)
    paints = []
    for h in hues:
        lo, hi = 0.0, 1.0
        for _ in range(50):
            mid = (lo + hi) / 2
            lo, hi = (mid, hi) if grey(h, mid) < target else (lo, mid)
        paints.append([lo * c for c in h])
    return paints


def block_textures(cells, style, edge, rng, paints):
    out = []
    woods = [  # light to mid woods: beech, maple, birch, oak
        ((0.80, 0.58, 0.36), (0.62, 0.40, 0.22)),
        ((0.86, 0.70, 0.48), (0.70, 0.52, 0.32)),
        ((0.82, 0.66, 0.46), (0.58, 0.42, 0.26)),
        ((0.72, 0.52, 0.30), (0.52, 0.34, 0.18)),
    ]
    toy = [(0.80, 0.10, 0.08), (0.95, 0.72, 0.08), (0.10, 0.35, 0.80),
           (0.12, 0.58, 0.22), (0.92, 0.45, 0.08), (0.85, 0.85, 0.80)]
    for n, cell in enumerate(cells):
        if style == "wood":
            light, dark = woods[rng.randrange(len(woods))]
            k = rng.uniform(0.85, 1.1)
            light = [min(c * k, 1.0) for c in light]
            dark = [min((0.6 * c + 0.4 * l) * k, 1.0) for c, l in zip(dark, light)]
            ring = edge * rng.uniform(0.14, 0.24)
            # grain along one of the block's axes, cut at a random place in the log
            turn = "rotate <%.1f, %.1f, %.1f> translate %s" % (
                rng.choice([0, 90]), rng.choice([0, 90]), rng.uniform(0, 360),
                vec([rng.uniform(-5, 5) * edge for _ in range(3)]))
            tex = ("texture { pigment { wood turbulence %.3f octaves 3 lambda 2.5\n"
                   "    color_map { [0.0 rgb %s] [0.6 rgb %s] [0.85 rgb %s] [1.0 rgb %s] }\n"
                   "    scale <%.4f, %.4f, %.4f> %s }\n"
                   "  normal { wood 0.08 scale <%.4f, %.4f, %.4f> %s }\n"
                   "  finish { diffuse 0.8 specular 0.12 roughness 0.04 ambient 0 } }"
                   % (rng.uniform(0.03, 0.08), vec(light), vec(light), vec(dark), vec(light),
                      ring, ring, edge * 3, turn, ring, ring, edge * 3, turn))
        else:
            if style == "rgb":
                base = paints[n % 3]
            else:
                base = toy[rng.randrange(len(toy))]
            k = rng.uniform(0.92, 1.06)
            base = [min(c * k + rng.uniform(-0.015, 0.015), 1.0) for c in base]
            base = [max(c, 0.0) for c in base]
            tex = ("texture { pigment { rgb %s }\n"
                   "  normal { bumps 0.04 scale %.4f }\n"
                   "  finish { diffuse 0.78 specular 0.25 roughness 0.02 ambient 0 } }"
                   % (vec(base), edge * 0.05))
        out.append(tex)
    return out


def scene_pov(cells, edge, radius, style, seed, rest, look):
    """The fixed part of every frame: blocks, table, room and lights."""
    rng = random.Random(seed)
    warm = [1.0, 0.74, 0.50]
    paints = matched_paints(warm)
    textures = block_textures(cells, style, edge, rng, paints)

    xs = [edge * c[0] for c in cells] + [edge * (c[0] + 1) for c in cells]
    ys = [edge * c[1] for c in cells] + [edge * (c[1] + 1) for c in cells]
    zs = [edge * (c[2] + 1) for c in cells]
    centre = [(min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2, 0.0]
    size = max(max(xs) - min(xs), max(ys) - min(ys), max(zs))

    # The room is laid out from the reference camera's bearing: a wall ahead,
    # across the table; the lamp off to one side.
    ahead = norm([rest.forward[0], rest.forward[1], 0.0])
    across = [-ahead[1], ahead[0], 0.0]  # to the picture's left
    distance = math.sqrt(dot(sub(rest.eye, look), sub(rest.eye, look)))
    table_far = 0.75 * size + 0.35 * distance
    wall_at = table_far + 0.3 * size
    wall_point = add(look, mul(wall_at, ahead))
    angle = math.degrees(math.atan2(ahead[1], ahead[0]))

    s = []
    s.append('#version 3.7;\n#include "shapes.inc"\n')
    s.append("global_settings { assumed_gamma 1.0 max_trace_level 6 }\n")
    s.append("background { rgb <0.05, 0.05, 0.06> }\n")
    # lights
    if style == "rgb":
        # a warm desk lamp low at one side, and a dim cool fill from the window
        lamp = add(add(look, mul(1.1 * distance, across)), [0, 0, 0.45 * distance])
        lamp = add(lamp, mul(-0.3 * distance, ahead))
        s.append("light_source { %s rgb %s area_light <%.3f,0,0>, <0,%.3f,0>, 4, 4 adaptive 1 circular orient }\n"
                 % (vec(lamp), vec([1.55 * c for c in warm]), size * 0.25, size * 0.25))
        s.append("light_source { %s rgb <0.16, 0.17, 0.20> shadowless }\n"
                 % vec(add(rest.eye, [0, 0, distance * 0.5])))
    else:
        key = add(add(look, mul(-0.5 * distance, across)), [0, 0, 1.1 * distance])
        key = add(key, mul(-0.2 * distance, ahead))
        s.append("light_source { %s rgb <1.25, 1.2, 1.1> area_light <%.3f,0,0>, <0,%.3f,0>, 4, 4 adaptive 1 circular orient }\n"
                 % (vec(key), size * 0.5, size * 0.5))
        s.append("light_source { %s rgb <0.25, 0.26, 0.3> shadowless }\n"
                 % vec(add(add(rest.eye, mul(0.6 * distance, across)), [0, 0, distance * 0.4])))

    # table: planks of a darker wood, running away from the camera
    plank = size * 0.45
    s.append("box { <%.3f, %.3f, -%.3f>, <%.3f, %.3f, 0>\n" % (
        -1.5 * distance, -0.8 * table_far, size * 0.3, table_far, 0.8 * table_far))
    s.append("  texture { pigment { gradient y color_map { [0 rgb <0.30,0.18,0.10>] [0.985 rgb <0.30,0.18,0.10>]"
             " [0.99 rgb <0.08,0.05,0.03>] [1 rgb <0.08,0.05,0.03>] } scale %.3f }\n" % plank)
    s.append("    finish { diffuse 0.7 specular 0.1 roughness 0.05 ambient 0 } }\n")
    s.append("  texture { pigment { wood turbulence 0.12 octaves 4 color_map { [0 rgbt <0.40,0.25,0.14,0.3>]"
             " [0.6 rgbt <0.36,0.22,0.12,0.5>] [1 rgbt <0.28,0.16,0.08,0.35>] }"
             " scale <%.3f, %.3f, 1> rotate y*90 }\n" % (size * 0.15, size * 0.15))
    s.append("    normal { wood 0.06 turbulence 0.12 scale %.3f rotate y*90 }\n" % (size * 0.15))
    s.append("    finish { diffuse 0.7 specular 0.15 roughness 0.03 ambient 0 } }\n")
    s.append("  rotate z*%.3f translate %s }\n" % (angle, vec(look)))
    # floor far below, and the wall with a picture, a clock and a shelf
    s.append("plane { z, -%.3f pigment { checker rgb <0.35,0.33,0.3> rgb <0.28,0.27,0.25> scale %.3f }"
             " finish { diffuse 0.6 ambient 0 } }\n" % (size * 4, size * 0.8))
    wall = []
    wall.append("plane { x, 0 pigment { bozo turbulence 0.3 color_map { [0 rgb <0.78,0.76,0.68>] [1 rgb <0.72,0.70,0.64>] }"
                " scale %.3f } finish { diffuse 0.75 ambient 0 } }" % (size * 0.1))
    wall.append("box { <-0.5, -%.3f, %.3f>, <0, %.3f, %.3f> pigment { rgb <0.25,0.16,0.09> } finish { ambient 0 } }"
                % (size * 0.9, size * 0.5, size * 0.1, size * 1.2))
    wall.append("box { <-0.6, -%.3f, %.3f>, <-0.5, %.3f, %.3f> pigment { gradient z color_map"
                " { [0 rgb <0.25,0.45,0.65>] [0.5 rgb <0.6,0.75,0.85>] [0.5 rgb <0.3,0.5,0.25>] [1 rgb <0.2,0.35,0.15>] }"
                " scale %.3f translate z*%.3f } finish { ambient 0 } }"
                % (size * 0.8, size * 0.6, size * 0.0, size * 1.1, size * 0.5, size * 0.6))
    wall.append("cylinder { <0,0,0>, <-0.4,0,0>, %.3f pigment { rgb <0.92,0.92,0.9> } finish { ambient 0 specular 0.3 }"
                " translate <0, %.3f, %.3f> }" % (size * 0.25, size * 0.7, size * 0.9))
    wall.append("torus { %.3f, %.3f rotate z*90 pigment { rgb 0.08 } translate <-0.3, %.3f, %.3f> }"
                % (size * 0.25, size * 0.02, size * 0.7, size * 0.9))
    wall.append("box { <-%.3f, -%.3f, %.3f>, <0, -%.3f, %.3f> pigment { rgb <0.55,0.4,0.25> } finish { ambient 0 } }"
                % (size * 0.4, size * 1.8, size * 0.25, size * 1.1, size * 0.32))
    wall.append("box { <-%.3f, -%.3f, %.3f>, <-0.1, -%.3f, %.3f> pigment { rgb <0.2,0.3,0.55> } finish { ambient 0 } }"
                % (size * 0.3, size * 1.7, size * 0.32, size * 1.55, size * 0.7))
    wall.append("box { <-%.3f, -%.3f, %.3f>, <-0.1, -%.3f, %.3f> pigment { rgb <0.6,0.15,0.12> } finish { ambient 0 } }"
                % (size * 0.3, size * 1.5, size * 0.32, size * 1.42, size * 0.62))
    s.append("union {\n  %s\n  translate z*-%.3f rotate z*%.3f translate %s }\n"
             % ("\n  ".join(wall), size * 0.35, angle, vec([wall_point[0], wall_point[1], 0])))
    # a mug on the table, well off the structure
    mug = add(add(centre, mul(0.85 * size + edge * 2, across)), mul(0.6 * size, ahead))
    s.append("difference { cylinder { <0,0,0>, <0,0,%.3f>, %.3f } cylinder { <0,0,%.3f>, <0,0,%.3f>, %.3f }"
             " pigment { rgb <0.85,0.83,0.78> } finish { specular 0.4 roughness 0.01 ambient 0 } translate %s }\n"
             % (edge * 1.6, edge * 0.65, edge * 0.15, edge * 1.7, edge * 0.57, vec(mug)))

    # the blocks
    for cell, tex in zip(cells, textures):
        a = [edge * cell[0], edge * cell[1], edge * cell[2]]
        b = [edge * (cell[0] + 1), edge * (cell[1] + 1), edge * (cell[2] + 1)]
        if radius > 0:
            s.append("object { Round_Box(%s, %s, %.6f, no)\n  %s }\n" % (vec(a), vec(b), radius, tex))
        else:
            s.append("box { %s, %s\n  %s }\n" % (vec(a), vec(b), tex))
    return "".join(s)


# ---------------------------------------------------------------- rendering

def povray(pov_file, png, width, height, quality):
    args = ["povray", "+I" + pov_file, "+O" + png, "+W%d" % width, "+H%d" % height,
            "+FN8", "-D", "+WT1", "-V", "-GA", "+Q9"]
    if quality > 0:
        args += ["+A%.2f" % quality, "+AM1", "+R2", "-J"]
    else:
        args += ["-A"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                   cwd=os.path.dirname(pov_file) or ".")


def read_png_first_channel(path):
    """First channel of a non-interlaced PNG, rows of numbers (no imaging library here)."""
    data = open(path, "rb").read()
    pos, idat = 8, b""
    while pos < len(data):
        n, = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        pos += 12 + n
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    assert interlace == 0
    bpp = {0: 1, 2: 3, 4: 2, 6: 4}[ctype] * depth // 8
    stride = w * bpp
    raw = zlib.decompress(idat)
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(h):
        ft, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if ft == 1:
                line[x] = (line[x] + a) & 255
            elif ft == 2:
                line[x] = (line[x] + b) & 255
            elif ft == 3:
                line[x] = (line[x] + ((a + b) >> 1)) & 255
            elif ft == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else (b if pb <= pc else c))) & 255
        prev = line
        if depth == 16:
            rows.append([line[k * bpp] << 8 | line[k * bpp + 1] for k in range(w)])
        else:
            rows.append([line[k * bpp] for k in range(w)])
    return w, h, rows


def check_projection(workdir, width, height):
    """Glowing spheres at known points, their centroids against the convention.

    Linear 16-bit output and fine supersampling, so that a centroid is the
    centre of the sphere's image; that centre is corrected for the small
    stretch a sphere off the axis gets in a pinhole picture.
    """
    eye, look, fov = [13.0, -31.0, 22.0], [3.0, 4.0, 0.0], 40.0
    cam = rest_camera(eye, look, fov)
    f = cam.focal(height)
    points = [[3, 4, 0], [0, 0, 0], [10, 5, 3], [-6, 8, 2], [8, -5, 1], [-3, -4, 6], [12, 14, 0], [-9, 2, 9]]
    pov = "#version 3.7;\nglobal_settings { assumed_gamma 1.0 }\nbackground { rgb 0 }\n" + cam.pov(width, height)
    radii = []
    for p in points:
        d = sub(p, eye)
        r = math.sqrt(dot(d, d)) * 4.0 / f  # about 4 pixels across the image
        radii.append(r)
        pov += "sphere { %s, %.9f pigment { rgb 1 } finish { ambient 0 diffuse 0 emission 1 } }\n" % (vec(p), r)
    pov_file = os.path.join(workdir, "check.pov")
    png = os.path.join(workdir, "check.png")
    open(pov_file, "w").write(pov)
    subprocess.run(["povray", "+I" + pov_file, "+O" + png, "+W%d" % width, "+H%d" % height, "+FN16",
                    "+A0.0", "+AM1", "+R9", "-J", "-D", "+WT1", "-V", "-GA", "File_Gamma=1.0"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, rows = read_png_first_channel(png)
    worst = 0.0
    print("point                 formula (col, row)     centroid (col, row)    difference")
    for p, r in zip(points, radii):
        d = sub(p, eye)
        x, y, z = dot(cam.side, d), dot(cam.up, d), dot(cam.forward, d)
        rho = math.hypot(x, y)
        col, row = cam.project(p, width, height)
        if rho > 0:  # centre of the ellipse a sphere makes, from its edges along the radius
            theta, alpha = math.atan2(rho, z), math.asin(r / math.sqrt(dot(d, d)))
            centre = f * (math.tan(theta + alpha) + math.tan(theta - alpha)) / 2
            col = width / 2.0 + centre * x / rho
            row = (height - 1) - height / 2.0 - centre * y / rho
        sx = sy = s = 0.0
        for rr in range(int(row) - 10, int(row) + 12):
            for cc in range(int(col) - 10, int(col) + 12):
                w = rows[rr][cc]
                sx += w * cc
                sy += w * rr
                s += w
        dx, dy = sx / s - col, sy / s - row
        worst = max(worst, abs(dx), abs(dy))
        print("%-20s  (%8.3f, %8.3f)   (%8.3f, %8.3f)   (%+.3f, %+.3f)"
              % (str(p), col, row, sx / s, sy / s, dx, dy))
    print("largest difference %.3f px" % worst)
    return worst <= 0.1


def finish_frame(renders, out_png, gain, noise_seed, noise):
    """Average the renders (motion blur), apply the exposure and webcam grain."""
    args = ["convert"] + renders
    if len(renders) > 1:
        args += ["-evaluate-sequence", "mean"]
    args += ["-evaluate", "multiply", "%.5f" % gain,
             "-blur", "0x0.45",  # a webcam lens is never quite sharp
             "-seed", str(noise_seed), "-attenuate", "%.3f" % noise, "+noise", "Gaussian",
             "-depth", "8", "-define", "png:color-type=2", out_png]
    subprocess.run(args, check=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scene", nargs="?", help="scene file (JSON)")
    ap.add_argument("out", nargs="?", help="output directory")
    ap.add_argument("--path", choices=["orbit", "handheld"], default="orbit")
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--size", default="640x480")
    ap.add_argument("--edge-radius", type=float, default=None,
                    help="block edge rounding in model units (default brickEdge/16)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--blocks", choices=["wood", "painted", "rgb"], default="wood",
                    help="wood, painted toy colours, or red/green/blue of one grey under a warm lamp")
    ap.add_argument("--eye", help="reference eye X,Y,Z (model units)")
    ap.add_argument("--look-at", help="reference point looked at on the table X,Y")
    ap.add_argument("--fov", type=float, default=None, help="vertical field of view (default: the scene's, else 40)")
    ap.add_argument("--quality", type=float, default=0.3, help="antialias threshold, 0 = none")
    ap.add_argument("--crf", type=int, default=28)
    ap.add_argument("--noise", type=float, default=0.45, help="grain strength for ImageMagick's Gaussian noise")
    ap.add_argument("--workdir", help="where frames are rendered (default: a new folder in /tmp); "
                    "frames already there are kept, so an interrupted render resumes")
    ap.add_argument("--test-frames", type=int, default=None,
                    help="render only this many first frames into the work directory, to look at them")
    ap.add_argument("--check-projection", action="store_true",
                    help="only check that POV-Ray's pixels follow the program's camera convention")
    args = ap.parse_args()

    width, height = (int(v) for v in args.size.lower().split("x"))
    workdir = args.workdir or tempfile.mkdtemp(prefix="render-footage-")
    os.makedirs(workdir, exist_ok=True)

    if args.check_projection:
        sys.exit(0 if check_projection(workdir, width, height) else 1)
    if not args.scene or not args.out or not args.eye or not args.look_at:
        ap.error("scene, output directory, --eye and --look-at are needed")

    scene, edge, points, cells = load_scene(args.scene)
    radius = edge / 16.0 if args.edge_radius is None else args.edge_radius
    fov = args.fov if args.fov is not None else float(scene.get("fieldOfView", 40.0))
    eye = [float(v) for v in args.eye.split(",")]
    look = [float(v) for v in args.look_at.split(",")] + [0.0]
    rest = rest_camera(eye, look, fov)
    shake = Shake(random.Random(args.seed * 7919 + 17))

    # every point must be in the first frame; a reference row is counted as the
    # program reads it (buffer row = height - row), one above the pixel row
    references = []
    for p, entry in zip(points, scene["points"]):
        q = rest.project(seen_corner(p, entry.get("grid"), set(cells), radius), width, height)
        if q is None or not (0 <= round(q[0]) < width and 0 <= round(q[1]) < height):
            sys.exit("point %s is outside the first frame" % p)
        references.append([int(round(q[0])), int(round(q[1] + 1.0))])

    static = os.path.join(workdir, "scene.inc")
    open(static, "w").write(scene_pov(cells, edge, radius, args.blocks, args.seed, rest, look))

    blur = [-1.0 / 3.0, 0.0, 1.0 / 3.0] if args.path == "handheld" else [0.0]
    drift_phase = random.Random(args.seed).uniform(0, 2 * math.pi)
    cameras = []
    started = time.time()
    rendered = 0
    for n in range(args.frames):
        camera = path_camera(rest, look, float(n), args.path, args.frames, shake)
        cameras.append(camera)
        final = os.path.join(workdir, "frame_%04d.png" % n)
        if os.path.exists(final) or (args.test_frames is not None and n >= args.test_frames):
            continue
        renders = []
        for k, dt in enumerate(blur):
            cam = camera if dt == 0.0 else path_camera(rest, look, n + dt, args.path, args.frames, shake)
            pov_file = os.path.join(workdir, "f%04d_%d.pov" % (n, k))
            png = os.path.join(workdir, "f%04d_%d.png" % (n, k))
            open(pov_file, "w").write('#include "scene.inc"\n' + cam.pov(width, height))
            # the three renders of a blurred frame smooth each other's edges
            povray(pov_file, png, width, height, args.quality if len(blur) == 1 else 0.0)
            renders.append(png)
            rendered += 1
        # exposure drifts slowly, as a webcam's automatic exposure hunts
        gain = 1.0 + 0.07 * math.sin(2 * math.pi * n / (7.3 * FPS) + drift_phase) \
            + 0.03 * math.sin(2 * math.pi * n / (2.9 * FPS) + 2 * drift_phase)
        finish_frame(renders, final + ".tmp.png", gain, args.seed * 100003 + n, args.noise)
        os.replace(final + ".tmp.png", final)
        for r in renders:
            os.remove(r)
        if n % 10 == 0:
            per = (time.time() - started) / max(rendered, 1)
            print("frame %d/%d, %.2f s per render" % (n + 1, args.frames, per), flush=True)

    if args.test_frames is not None:
        print("test frames are in %s" % workdir)
        return
    os.makedirs(args.out, exist_ok=True)
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-framerate", str(FPS),
                    "-i", os.path.join(workdir, "frame_%04d.png"),
                    "-c:v", "libx264", "-preset", "medium", "-crf", str(args.crf), "-pix_fmt", "yuv420p",
                    "-movflags", "+faststart", os.path.join(args.out, "clip.mp4")], check=True)
    shutil.copyfile(os.path.join(workdir, "frame_0000.png"), os.path.join(args.out, "reference.png"))

    out_scene = dict(scene)
    out_scene["picture"] = "reference.png"
    out_scene["edgeRadius"] = radius
    if "fieldOfView" in scene:
        out_scene["fieldOfView"] = fov
    out_scene["points"] = []
    for p, ref in zip(scene["points"], references):
        q = {k: v for k, v in p.items() if k != "reference"}
        q["reference"] = ref
        out_scene["points"].append(q)
    write_scene(out_scene, os.path.join(args.out, "scene.json"))

    with open(os.path.join(args.out, "truth.csv"), "w") as f:
        f.write("frame,eye_x,eye_y,eye_z,look_x,look_y,look_z,fov_deg,up_x,up_y,up_z\n")
        for n, c in enumerate(cameras):
            g = c.ground_look()
            f.write("%d,%s\n" % (n, ",".join("%.6f" % v for v in c.eye + g + [c.fov] + c.up)))
    print("wrote %s (%d frames)" % (args.out, args.frames))


def write_scene(scene, path):
    """One point or brick a line, like the program writes scenes."""
    keys = [k for k in scene if k not in ("points", "realBricks", "virtualBricks")]
    lines = ["{"]
    for k in keys:
        lines.append("  %s: %s," % (json.dumps(k), json.dumps(scene[k])))
    lines.append('  "points": [')
    lines.append(",\n".join("    " + json.dumps(p, separators=(", ", ": ")) for p in scene["points"]))
    lines.append("  ],")
    for name in ("realBricks", "virtualBricks"):
        bricks = scene.get(name, [])
        lines.append('  "%s": [' % name)
        if bricks:
            lines.append(",\n".join("    " + json.dumps(b, separators=(", ", ": ")) for b in bricks))
        lines.append("  ]" + ("," if name == "realBricks" else ""))
    lines.append("}")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
