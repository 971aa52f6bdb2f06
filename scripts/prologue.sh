# The start that every script shares; sourced (`. "$(dirname "$0")/prologue.sh"`), never run.
# It stops the script at the first failing command, moves to the project's root, and takes a
# leading "--preset NAME" off the script's arguments into $preset (a script sets its default in
# $preset before sourcing). Then a script calls `require_once PURPOSE...`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ "${1:-}" = --preset ]; then
    if [ $# -lt 2 ]; then
        echo "$0: --preset needs a NAME (one of CMakePresets.json's configure presets)" >&2
        exit 2
    fi
    preset=$2
    shift 2
fi

# Installs the Debian packages of the named purposes (scripts/packages) through scripts/require,
# once per run: the purposes already ensured, by this script or by the script or CI run that
# started it, are listed in COLLECT_FILE_REQUIRED and not checked again.
require_once() {
    local purpose needed=()
    for purpose in "$@"; do
        [[ " ${COLLECT_FILE_REQUIRED:-} " == *" $purpose "* ]] || needed+=("$purpose")
    done
    if [ ${#needed[@]} -gt 0 ]; then
        scripts/require "${needed[@]}"
        export COLLECT_FILE_REQUIRED="${COLLECT_FILE_REQUIRED:-} ${needed[*]}"
    fi
}
