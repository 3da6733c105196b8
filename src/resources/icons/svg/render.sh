#!/bin/sh
# Renders every drawing here to the 16x16 PNG of the same name one folder up.
# Needs rsvg-convert (Debian: librsvg2-bin); the PNGs are committed, so builds never run this.
set -eu
cd "$(dirname "$0")"
for svg in *.svg; do
    rsvg-convert --width 16 --height 16 --format png --output "../${svg%.svg}.png" "$svg"
done
