#!/usr/bin/env python3
"""Draws the busy animation as one SVG strip of 26 frames of 119 x 119.

A card with its chip in the middle and a ring of 26 dots around it; the
bright head moves one dot a frame and leaves a fading trail.
Run: python3 res/tools/busy_animation.py > res/pictures/140.svg
"""
import math

FRAMES, SIZE, DOTS, TRAIL = 26, 119, 26, 12

def frame(i):
    x0 = i * SIZE
    out = [f'<g transform="translate({x0} 0)">',
           '<use xlink:href="#card"/>']
    for d in range(DOTS):
        age = (i - d) % DOTS
        a = 2 * math.pi * d / DOTS - math.pi / 2
        cx, cy = 59.5 + 48 * math.cos(a), 59.5 + 48 * math.sin(a)
        if age < TRAIL:
            o, r = 1.0 - age / TRAIL * 0.9, 5.6 - age * 0.3
            out.append(f'<circle cx="{cx:.2f}" cy="{cy:.2f}" r="{r:.2f}" fill="#2f6db5" fill-opacity="{o:.2f}"/>')
        else:
            out.append(f'<circle cx="{cx:.2f}" cy="{cy:.2f}" r="2.0" fill="#b9c9dd" fill-opacity="0.5"/>')
    out.append('</g>')
    return '\n'.join(out)

print(f'''<?xml version="1.0" encoding="UTF-8"?>
<!-- The busy animation: {FRAMES} frames of {SIZE} x {SIZE}, side by side, shown 6 a second. -->
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"
     width="{FRAMES * SIZE}" height="{SIZE}" viewBox="0 0 {FRAMES * SIZE} {SIZE}">
<defs>
  <linearGradient id="cardFill" x1="0" y1="0" x2="1" y2="1">
    <stop offset="0" stop-color="#4d8fd6"/>
    <stop offset="1" stop-color="#1b4f8f"/>
  </linearGradient>
  <g id="card">
    <rect x="31" y="40" width="57" height="39" rx="5" fill="url(#cardFill)" stroke="#0b2850" stroke-width="1.5"/>
    <rect x="38" y="49" width="15" height="12" rx="2" fill="#f0cf6a" stroke="#8a6514"/>
    <path d="M38 55 H53 M45.5 49 V61" stroke="#8a6514" stroke-width="1"/>
    <path d="M38 70 H70" stroke="#cfe2f7" stroke-width="2.5"/>
  </g>
</defs>''')
for i in range(FRAMES):
    print(frame(i))
print('</svg>')
