#!/usr/bin/env bash
# Regenerates every picture in docs/images/ from the program itself: Castellan
# runs on its virtual cameras under a private virtual X server (Xvfb, 1280 x 1024),
# xdotool presses its keys and clicks its buttons, ImageMagick's `import` takes
# the screen and `convert` crops it. The architecture picture is rendered from
# its hand-written SVG.
#
#   scripts/screenshots.sh [BUILD_DIR]      (default: build/release, built if missing)
#
# Needs xvfb, xdotool, imagemagick and librsvg2-bin (all in scripts/install-deps.sh).
# There is no window manager under Xvfb: windows have no title bars, popup menus
# open at the mouse cursor and dialogs appear where the program places them.
# The virtual ruins camera starts at the calibration pose and rests there for two
# seconds before it swings; pausing and resuming (Space twice) starts it over.
set -euo pipefail

cd "$(dirname "$0")/.."
repo=$(pwd)
build=${1:-build/release}
case "$build" in /*) ;; *) build="$repo/$build" ;; esac

if [ -z "${CASTELLAN_SCREENSHOTS_XVFB:-}" ]; then
    if [ ! -x "$build/app/castellan" ] || [ ! -x "$build/tools/castellan-cli" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
        cmake --build "$build" -j"$(nproc)" --target castellan castellan-cli
    fi
    export CASTELLAN_SCREENSHOTS_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build"
fi

app="$build/app/castellan"
cli="$build/tools/castellan-cli"
images="$repo/docs/images"
mkdir -p "$images"
# A clean working directory for the program (no CalibrationFrame.png of the
# user's gets in the way) and, beside it, one for this script's own files.
top=$(mktemp -d)
work="$top/pictures"
scratch="$top/scratch"
mkdir -p "$work" "$scratch"
app_pid=""
cleanup() {
    if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
    rm -rf "$top"
}
trap cleanup EXIT
cd "$work"
"$cli" grey "$repo/data/CalibrationFrame.png" "$scratch/calibration-grey.png"

# Where the main window is put, and where its left canvas then sits (the
# canvases show the frame at one screen pixel per frame pixel).
window_x=20
window_y=40
canvas_x=$((window_x + 9))
canvas_y=$((window_y + 48))
right_canvas_x=$((canvas_x + 326))
# The "Start/Stop Initial Points Selection" button (the processor tool bar's
# first action, right of "Reprocess").
points_button="665 58"
# "Device Options..." on the main tool bar.
options_button="154 59"

# The reference positions of the 39 numbered corners (column, row from the top
# of a 320 x 240 frame), as the program holds them.
reference_positions=(
    41,135 52,144 42,151 93,116 104,123 104,139 118,119 118,133 118,102 109,95
    94,100 104,108 130,142 144,136 145,122 131,127 134,114 135,99 135,81 124,74
    110,78 120,85 158,131 161,97 163,80 176,88 191,83 156,147 169,156 168,171
    182,163 183,149 197,142 199,159 212,184 214,170 227,163 52,158 175,106
)

say() { printf '%s\n' "$*" >&2; }

start_app() {
    "$app" "$@" >"$scratch/castellan.log" 2>&1 &
    app_pid=$!
    # The title names what is shown: "Castellan", or "<device or file> - Castellan".
    window=$(xdotool search --sync --onlyvisible --name 'Castellan$' | head -n 1)
    xdotool windowmove --sync "$window" "$window_x" "$window_y"
    sleep 1.5
    # The window may be wider than two 320-pixel canvases (its tool bars must
    # fit); the canvases then sit in its middle.
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$window")"
    canvas_x=$((window_x + (WIDTH - 646) / 2))
    right_canvas_x=$((canvas_x + 326))
}

stop_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
    sleep 0.5
}

# Keys go to the main window (without a window manager nothing gives it focus).
keys() {
    xdotool windowfocus --sync "$window"
    xdotool key --delay 80 "$@"
}

click() {
    xdotool mousemove "$1" "$2" click 1
    sleep 0.3
}

park_mouse() { xdotool mousemove 1270 1010; }

# The id of the window titled exactly $1, waiting for it to appear.
window_named() { xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1; }

geometry() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    echo "$X $Y $WIDTH $HEIGHT"
}

# shot NAME AREA...: crops the screen to the bounding box of the areas, each a
# window id or "x y w h", with a small margin, into docs/images/NAME.png.
shot() {
    local name=$1
    shift
    local left=100000 top=100000 right=0 bottom=0 x y w h
    for area in "$@"; do
        if [[ "$area" == *" "* ]]; then read -r x y w h <<<"$area"; else read -r x y w h <<<"$(geometry "$area")"; fi
        ((x < left)) && left=$x
        ((y < top)) && top=$y
        ((x + w > right)) && right=$((x + w))
        ((y + h > bottom)) && bottom=$((y + h))
    done
    left=$((left > 4 ? left - 4 : 0))
    top=$((top > 4 ? top - 4 : 0))
    right=$((right + 4))
    bottom=$((bottom + 4))
    sleep 0.4
    import -window root "$scratch/screen.png"
    convert "$scratch/screen.png" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$images/$name.png"
    say "docs/images/$name.png"
}

# Clicks entries FIRST to LAST of the "x,y" list named POSITIONS on the left canvas.
click_positions() { # POSITIONS FIRST LAST
    local -n positions=$1
    local i x y
    for ((i = $2; i <= $3; i++)); do
        IFS=, read -r x y <<<"${positions[$i]}"
        xdotool mousemove $((canvas_x + x)) $((canvas_y + y)) click 1
        sleep 0.05
    done
}

# Types a file name into the open or save dialog that has just appeared.
answer_file_dialog() { # TITLE PATH
    local dialog
    dialog=$(window_named "$1")
    xdotool windowfocus --sync "$dialog"
    xdotool type --delay 20 "$2"
    xdotool key Return
    sleep 1
}

# --- Connecting and the test camera -------------------------------------------

start_app --virtual-camera
keys ctrl+k
dialog=$(window_named "Capture Device Selection")
read -r dx dy dw dh <<<"$(geometry "$dialog")"
click $((dx + dw / 2)) $((dy + 41))  # open the device list
shot connect-dialog "$window" "$dx $dy $dw 80"
xdotool key Return  # the first entry: "Castellan Test Camera"
sleep 0.3
xdotool key Return  # OK
sleep 2
park_mouse
shot test-camera-fast "$window"

# Device options: the test camera has two dialogs, so a menu comes first.
click $options_button
shot device-options-menu "$window"
xdotool key Down Down Return  # "Source..."
source_dialog=$(window_named "Source")
xdotool windowmove --sync "$window" 380 "$window_y"
sleep 1
shot device-options-source "$window" "$source_dialog"
xdotool key Escape
sleep 0.3
xdotool windowmove --sync "$window" "$window_x" "$window_y"

# The FAST tracker's panel, plain and with Canny preprocessing.
keys ctrl+p
panel=$(window_named "FAST Tracker Properties")
sleep 1
park_mouse
shot fast-tracker-panel "$window" "$panel"
read -r px py pw ph <<<"$(geometry "$panel")"
click $((px + 28)) $((py + 117))  # "Preprocess with Canny"
sleep 1
park_mouse
shot fast-tracker-canny "$window" "$panel"
click $((px + 28)) $((py + 117))

# The KLT tracker on the same camera.
xdotool windowunmap --sync "$panel"  # only the main window in this picture
keys ctrl+1
sleep 2
shot klt-tracker "$window"
keys F1
about=$(window_named "About Castellan")
sleep 0.5
shot about "$about"
xdotool windowfocus --sync "$about"
xdotool key Return
stop_app

# --- The ruins reconstructor: automatic initial points -------------------------

start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2
click $points_button
read -r mx my <<<"$points_button"
shot ruins-points-menu "$window" "$mx $my 200 50"
xdotool key Down Down Return  # "Automatic Initial Points"
park_mouse
keys F5
shot ruins-automatic "$window"
click $points_button  # the ruins coincide with the wireframe: start following
keys space  # live: the camera starts over at the calibration pose, then swings
park_mouse
sleep 5
shot ruins-following "$window"
keys ctrl+p
panel=$(window_named "Reconstruction Properties")
read -r px py pw ph <<<"$(geometry "$panel")"
click $((px + 28)) $((py + 210))  # "Use Kalman Filter", below "Following"
park_mouse
sleep 2
shot ruins-panel-kalman "$window" "$panel"
stop_app

# --- The ruins reconstructor: manual initial points ----------------------------

start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2  # paused: calm clicks
click $points_button
xdotool key Down Down Down Return  # "Manual Initial Points"
sleep 0.3
click_positions reference_positions 0 13
park_mouse
keys F5  # repaint both canvases: the guide appears on the right
shot ruins-manual "$window"
click_positions reference_positions 14 38
click $points_button  # stop collecting: the 39 clicks become the followed points
keys space  # live again: the camera starts over at the calibration pose
park_mouse
sleep 5
shot ruins-manual-following "$window"
stop_app

# --- Still images and saving ----------------------------------------------------

cp "$repo/data/CalibrationFrame.png" "$work/ruins.png"
start_app --virtual-camera
keys ctrl+o
answer_file_dialog "Open Image File" "$work/ruins.png"
keys ctrl+1
sleep 0.5
keys F5
keys c  # "Display In Color": the right canvas shows the colour frame
park_mouse
shot still-image-klt "$window"
keys ctrl+s
save_dialog=$(window_named "Choose a filename to save the Image under")
sleep 0.5
xdotool windowfocus --sync "$save_dialog"
xdotool type --delay 20 "grey-frame"
shot save-dialog "$save_dialog"
xdotool key Return
sleep 1
[ -f "$work/grey-frame.png" ] || { say "saving the grey frame failed"; exit 1; }
stop_app

# --- One's own calibration frame, taken through the automatic wireframe ---------

start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2
click $points_button
xdotool key Down Down Return  # "Automatic Initial Points": the wireframe is the viewfinder
park_mouse
# A person moves the camera until the ruins fit the wireframe, then pauses; the
# virtual camera simply starts paused at the calibration pose.
keys ctrl+s
answer_file_dialog "Choose a filename to save the Image under" "$work/CalibrationFrame"
stop_app
[ -f "$work/CalibrationFrame.png" ] || { say "saving CalibrationFrame.png failed"; exit 1; }
# Taken through the wireframe, it is the bundled picture's grey frame pixel for pixel.
if ! compare -metric AE "$work/CalibrationFrame.png" "$scratch/calibration-grey.png" null: 2>/dev/null; then
    say "note: the saved CalibrationFrame.png differs from the bundled one's grey frame"
fi
# Started again in the same working directory, the program shows that picture
# behind the numbers.
start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2
click $points_button
xdotool key Down Down Down Return  # "Manual Initial Points"
park_mouse
keys F5
shot own-calibration-frame "$window"
stop_app

# --- One's own scene: written without positions, captured, clicked, followed -----

# The arch's points and bricks, as a user writes them: no reference positions
# and no picture yet. The virtual ruins camera shows the arch (--scene), as a
# real camera would show the bricks built on the table.
arch="$repo/tests/data/scenes/arch.json"
python3 - "$arch" "$work/my-arch.json" <<'PY'
import json, sys
scene = json.load(open(sys.argv[1]))
for point in scene["points"]:
    point.pop("reference")
scene["name"], scene["picture"] = "my arch", "my-arch.png"
json.dump(scene, open(sys.argv[2], "w"), indent=1)
PY
mapfile -t arch_positions < <(python3 -c 'import json, sys
for p in json.load(open(sys.argv[1]))["points"]: print("%d,%d" % tuple(p["reference"]))' "$arch")
start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2 --scene "$arch"
keys ctrl+p
panel=$(window_named "Reconstruction Properties")
sleep 1
read -r px py pw ph <<<"$(geometry "$panel")"
click $((px + pw / 2)) $((py + 339))  # "Capture Reference Picture"
answer_file_dialog "Capture Reference Picture For" "$work/my-arch.json"
keys F5  # paused: show the guide
click_positions arch_positions 0 15
park_mouse
shot scene-clicking "$window" "$panel"
click_positions arch_positions 16 27  # the last click writes the scene
message=$(window_named "Capture Reference Picture")
shot scene-written "$window" "$message"
xdotool windowfocus --sync "$message"
xdotool key Return
stop_app
"$cli" scene-check "$work/my-arch.json" >&2
# Started on the scene just written: aligned, then followed.
start_app --virtual-camera --connect --paused --device "Virtual Ruins" --processor 2 --scene "$work/my-arch.json"
keys space  # starts the camera over at its rest
click $points_button
xdotool key Down Down Return  # "Automatic Initial Points"
click $points_button     # aligned: follow
sleep 5
park_mouse
shot scene-following "$window"
stop_app

# --- The architecture picture ----------------------------------------------------

rsvg-convert -w 1280 "$repo/docs/images/architecture.svg" -o "$images/architecture.png"
say "docs/images/architecture.png"
