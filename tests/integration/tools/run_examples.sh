#!/bin/sh
# Runs the two examples on the simulated camera: the C one must write a PLY
# whose vertex count is the point count it reports (the lens corners that
# see no ray are left out), both must see the scene's plane (noise off: the
# C example reads one pixel of one frame).
#   run_examples.sh TARVO_SIM CAPTURE_PLY FRAME_CALLBACK
set -eu
out=$("$1" run --distance 2.0 --noise off -- "$2" ex.ply)
echo "$out"
n=$(echo "$out" | sed -nE 's/^10 frames, ([0-9]+) points in ex\.ply, centre (1\.99|2\.0[01]).*/\1/p')
[ -n "$n" ] && [ "$n" -gt 60000 ]
grep -q "^element vertex $n\$" ex.ply
"$1" run --distance 1.25 --noise off -- "$3" | grep -E '20 frames through the callback, mean centre 1\.2[45]'
# A scene file: a box before a wall; the centre pixel sees the box's face.
cat > box_scene.json <<'JSON'
{"objects": [{"type": "plane", "distance": 3.0},
             {"type": "box", "centre": [0, 0, 1.3], "size": [0.4, 0.4, 0.2]}]}
JSON
"$1" run --scene box_scene.json -- "$3" | grep -E 'mean centre 1\.(19[89]|20[012])'
