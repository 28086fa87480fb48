#!/usr/bin/env bash
# Makes the demo video that the window names by default: a 10 s 640x480 test pattern with a tone.
# Run by the build (the demovideo target) as: make_demo_video.sh OUTPUT.avi
set -euo pipefail
out=$1
mkdir -p "$(dirname "$out")"
echo "Generating $out"
ffmpeg -nostdin -loglevel error -y \
    -f lavfi -i testsrc=size=640x480:rate=25:duration=10 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 \
    -c:v mpeg4 -q:v 4 -c:a mp2 -shortest "$out.tmp.avi"
mv "$out.tmp.avi" "$out"
