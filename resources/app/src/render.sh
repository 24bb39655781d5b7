#!/usr/bin/env bash
# Renders the toolbar and menu pictures from their SVG sources (needs ImageMagick).
set -euo pipefail
cd "$(dirname "$0")"
for f in *.svg; do
    convert -background none -density 192 "$f" -resize "$(grep -o 'width="[0-9]*"' "$f" | head -1 | tr -dc 0-9)x" -depth 8 "PNG32:../${f%.svg}.png"
done
