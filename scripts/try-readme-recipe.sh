#!/usr/bin/env bash
# Follows the README's recipe on the virtual ruins camera as a new user would,
# under a private virtual X server, and checks what the user should see: the
# blue wireframe over the ruins after "Automatic Initial Points", and the
# virtual bricks in the right view once the camera swings. Pictures of both go
# to build/recipe/. Exits 1 when either is missing.
#
#   scripts/try-readme-recipe.sh [BUILD_DIR]   # default build/release
#
# Needs xvfb, xdotool and imagemagick (all in scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
app="$build/app/castellan"
out="$(dirname "$build")/recipe"

if [ -z "${CASTELLAN_RECIPE_UNDER_XVFB:-}" ]; then
    [ -x "$app" ] || cmake --build "$build" --target castellan
    CASTELLAN_RECIPE_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1600x1200x24 -nolisten tcp" "$0" "$@"
fi
mkdir -p "$out"

# Share of the pixels in the area (x y w h) of a picture that match an fx test.
share() {
    convert "$1" -crop "$4x$5+$2+$3" +repage -fx "$6" -format '%[fx:mean]' info:
}
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }

# The recipe: run.sh starts it so, paused on the camera's first frame.
"$app" --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2 >"$out/castellan.log" 2>&1 &
app_pid=$!
trap 'kill "$app_pid" 2>/dev/null || true' EXIT
window=$(xdotool search --sync --onlyvisible --name 'Virtual Ruins Camera - Castellan$' | head -n 1)
xdotool windowmove --sync "$window" 0 0
sleep 2

# "Start/Stop Initial Points Selection", the first button right of the main
# tool bar, opens its menu at the pointer; its second entry is "Automatic Initial Points".
target_button="645 18"
xdotool mousemove $target_button click 1
sleep 0.5
xdotool key Down Down Return
sleep 0.5
import -window root "$out/wireframe.png"
# The left view (9, 47, 320 x 240) shows the blue wireframe at once.
blue=$(share "$out/wireframe.png" 9 47 320 240 'b > 0.6 && r < 0.4 ? 1 : 0')

xdotool mousemove $target_button click 1  # end the selection: follow
sleep 0.5
xdotool windowfocus --sync "$window"
xdotool key space  # live: the camera rests two seconds, then swings
sleep 6
import -window root "$out/following.png"
# The right view (335, 47, 320 x 240) shows the virtual bricks in olive.
bricks=$(share "$out/following.png" 335 47 320 240 'r > 0.35 && g > 0.35 && b < 0.2 ? 1 : 0')

echo "wireframe pixels: $blue of the left view; virtual brick pixels: $bricks of the right view"
echo "pictures: $out/wireframe.png $out/following.png"
at_least "$blue" 0.002 && at_least "$bricks" 0.02
