# Makes build/demovideo/123.avi when it is missing: a 10 s 640x480 test pattern with a tone,
# the file that the window names by default. Source it and call make_demo_video ROOT.
make_demo_video() {
    local out="$1/build/demovideo/123.avi"
    [ -s "$out" ] && return 0
    mkdir -p "$(dirname "$out")"
    echo "Generating $out"
    ffmpeg -nostdin -loglevel error -y \
        -f lavfi -i testsrc=size=640x480:rate=25:duration=10 \
        -f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 \
        -c:v mpeg4 -q:v 4 -c:a mp2 -shortest "$out.tmp.avi"
    mv "$out.tmp.avi" "$out"
}
