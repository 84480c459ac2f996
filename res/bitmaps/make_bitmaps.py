#!/usr/bin/env python3
"""Draws the pane bitmaps as XPM files: the tree's strip of seven 16x15
images and the 16x15 refresh button.  Pure red is the transparent colour."""
import os

from xpm import write_xpm

W, H = 16, 15
PALETTE = {
    'r': '#FF0000',  # transparent
    'k': '#202020',
    'b': '#1F5FBF',
    'l': '#8FB8F0',
    'y': '#E8C040',
    'o': '#B08020',
    'g': '#3C9A3C',
    'w': '#FFFFFF',
    's': '#808080',
}


def blank():
    return [['r'] * W for _ in range(H)]


def rect(img, x0, y0, x1, y1, c, fill=None):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            edge = x in (x0, x1) or y in (y0, y1)
            if edge:
                img[y][x] = c
            elif fill:
                img[y][x] = fill


def disc(img, cx, cy, r, c, fill):
    for y in range(H):
        for x in range(W):
            d = (x - cx) ** 2 + (y - cy) ** 2
            if d <= r * r:
                img[y][x] = fill if d < (r - 1) ** 2 else c


def root_image():  # a small monitor: the report's heading
    img = blank()
    rect(img, 1, 1, 14, 10, 'k', 'b')
    rect(img, 3, 3, 12, 8, 'l', 'l')
    rect(img, 6, 11, 9, 12, 's', 's')
    rect(img, 3, 13, 12, 13, 'k')
    return img


def group_image():  # a folder: a group of lines
    img = blank()
    rect(img, 1, 3, 6, 4, 'o', 'y')
    rect(img, 1, 4, 14, 13, 'o', 'y')
    return img


def spare_image(c):
    img = blank()
    disc(img, 7, 7, 5, 'k', c)
    return img


def value_image():  # a sheet with lines: a value line
    img = blank()
    rect(img, 3, 1, 12, 13, 's', 'w')
    for y in (4, 7, 10):
        for x in range(5, 11):
            img[y][x] = 'b'
    return img


def refresh_image():  # two arrows around a circle
    img = blank()
    disc(img, 7, 7, 6, 'g', 'r')
    for y in range(5, 10):
        for x in range(5, 10):
            img[y][x] = 'r'
    for (x, y) in ((12, 1), (13, 2), (11, 2), (12, 3), (13, 3), (2, 11), (1, 12), (3, 12), (2, 13), (1, 13)):
        img[y][x] = 'g'
    return img


here = os.path.dirname(os.path.abspath(__file__))
write_xpm(os.path.join(here, '178_tree_images.xpm'), 'tree_images',
          [root_image(), group_image(), spare_image('g'), value_image(),
           spare_image('y'), spare_image('l'), spare_image('s')], PALETTE)
write_xpm(os.path.join(here, '172_refresh_button.xpm'), 'refresh_button', [refresh_image()], PALETTE)
