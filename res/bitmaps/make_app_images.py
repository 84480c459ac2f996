#!/usr/bin/env python3
"""Draws the application's pictures as XPM files: the ribbon's panel image
strip (113), the application button (112), the pane icon (164), the File
category's small images (115) and the document icon (130).  Pure red is the
transparent colour."""
import math
import os

from xpm import write_xpm

PALETTE = {
    'r': '#FF0000',  # transparent
    'k': '#202020',
    'b': '#1F5FBF',
    'd': '#123A7A',
    'l': '#8FB8F0',
    'y': '#E8C040',
    'o': '#B08020',
    'g': '#3C9A3C',
    'w': '#FFFFFF',
    's': '#808080',
    'e': '#C83C2C',
}


def blank(w, h):
    return [['r'] * w for _ in range(h)]


def rect(img, x0, y0, x1, y1, c, fill=None):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            if x in (x0, x1) or y in (y0, y1):
                img[y][x] = c
            elif fill:
                img[y][x] = fill


def disc(img, cx, cy, r, c, fill):
    for y in range(len(img)):
        for x in range(len(img[0])):
            d = math.hypot(x - cx, y - cy)
            if d <= r:
                img[y][x] = fill if d < r - 1 else c


def line(img, x0, y0, x1, y1, c):
    n = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(n + 1):
        img[round(y0 + (y1 - y0) * i / n)][round(x0 + (x1 - x0) * i / n)] = c


def info16():  # "i" in a blue disc: About
    img = blank(16, 16)
    disc(img, 7.5, 7.5, 7.5, 'd', 'b')
    rect(img, 7, 3, 8, 4, 'w', 'w')
    rect(img, 7, 6, 8, 12, 'w', 'w')
    return img


def network16():  # three linked nodes: a panel of network data
    img = blank(16, 16)
    line(img, 3, 12, 8, 3, 'k')
    line(img, 8, 3, 13, 12, 'k')
    line(img, 3, 12, 13, 12, 'k')
    for (x, y) in ((3, 12), (8, 3), (13, 12)):
        disc(img, x, y, 2.5, 'd', 'l')
    return img


def dot16(c):
    img = blank(16, 16)
    disc(img, 7.5, 7.5, 4.5, 'k', c)
    return img


def exit16():  # a door with an arrow leaving it
    img = blank(16, 16)
    rect(img, 2, 1, 9, 14, 'o', 'y')
    img[8][7] = 'k'
    line(img, 8, 7, 14, 7, 'e')
    line(img, 12, 5, 14, 7, 'e')
    line(img, 12, 9, 14, 7, 'e')
    return img


def pane16():  # a window with a tree inside: a data pane
    img = blank(16, 16)
    rect(img, 0, 1, 15, 14, 'd', 'w')
    rect(img, 1, 2, 14, 3, 'b', 'b')
    for y, x0 in ((6, 3), (9, 5), (12, 5)):
        rect(img, x0, y, x0 + 1, y, 'g', 'g')
        for x in range(x0 + 3, 13):
            img[y][x] = 's'
    return img


def app32():  # a globe of lines in a round button
    img = blank(32, 32)
    disc(img, 15.5, 15.5, 15.5, 'd', 'b')
    disc(img, 15.5, 15.5, 10.5, 'l', 'b')
    for x in range(6, 26):
        img[15][x] = 'l'
    for y in range(6, 26):
        img[y][15] = 'l'
    for y in range(32):
        for x in range(32):
            d = math.hypot((x - 15.5) / 0.45, y - 15.5)
            if 9.5 < d < 10.6 and img[y][x] != 'r':
                img[y][x] = 'l'
    return img


def document32():  # a sheet with a folded corner and a small chart
    img = blank(32, 32)
    rect(img, 5, 1, 26, 30, 's', 'w')
    for i in range(6):
        line(img, 21 + i, 1, 26, 6 - i, 'r' if i < 5 else 's')
    line(img, 21, 1, 21, 6, 's')
    line(img, 21, 6, 26, 6, 's')
    for i, h in enumerate((6, 10, 4, 12, 8)):
        rect(img, 8 + i * 3, 26 - h, 9 + i * 3, 26, 'b', 'l')
    return img


here = os.path.dirname(os.path.abspath(__file__))
write_xpm(os.path.join(here, '113_panel_images.xpm'), 'panel_images',
          [info16(), dot16('g'), dot16('y'), dot16('l'), dot16('e'), dot16('s'), dot16('o'), network16()], PALETTE)
write_xpm(os.path.join(here, '112_application_button.xpm'), 'application_button', [app32()], PALETTE)
write_xpm(os.path.join(here, '164_pane_icon.xpm'), 'pane_icon', [pane16()], PALETTE)
write_xpm(os.path.join(here, '115_file_small.xpm'), 'file_small', [dot16('s')] * 15 + [exit16()], PALETTE)
write_xpm(os.path.join(here, '130_document.xpm'), 'document', [document32()], PALETTE)
