"""Writes images as an XPM file: images side by side in one strip, one
character a pixel, each character's colour from the palette."""


def write_xpm(path, name, images, palette):
    h = len(images[0])
    width = sum(len(img[0]) for img in images)
    rows = [''.join(''.join(img[y]) for img in images) for y in range(h)]
    with open(path, 'w') as f:
        f.write('/* XPM */\n')
        f.write('static const char *%s[] = {\n' % name)
        f.write('"%d %d %d 1",\n' % (width, h, len(palette)))
        for key, colour in palette.items():
            f.write('"%s c %s",\n' % (key, colour))
        f.write(',\n'.join('"%s"' % r for r in rows))
        f.write('\n};\n')
