#!/usr/bin/env bash
# GTK's own file chooser in the real window: see host_panels.driver.js.
source "$(dirname "$0")/lib/common.sh" host_panels "$@"
ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v mpeg4 "$work/clip.mp4"
run_window "{\"clip\": \"$work/clip.mp4\"}" host_panels.driver.js --real-panels --timeout 120
