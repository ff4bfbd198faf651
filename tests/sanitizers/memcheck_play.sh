#!/usr/bin/env bash
# The valgrind preset's one test: the presentation plays a 3 s track to its end under valgrind's
# memcheck, with no invalid access, no uninitialised value reaching a decision and nothing
# definitely lost outside the libraries valgrind.supp names. A 3 s track keeps it to minutes:
# memcheck spends nearly all of them in the software rasteriser's start-up.
# usage: memcheck_play.sh PRESENTATION ASSET_FOLDER SUPPRESSIONS
# CTest runs it under a private X screen with SDL_AUDIODRIVER=dummy (scripts/test does both).
set -euo pipefail

program=$1
assets=$2
suppressions=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/quartz-memcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT

cp "$assets/zupfist2.png" "$assets/tovrel.png" "$work/"
ffmpeg -loglevel error -nostdin -f lavfi -i "sine=frequency=220:duration=3:sample_rate=44100" \
    -ac 2 -c:a libmp3lame -b:a 128k "$work/VARNOCHORD.mp3"

status=0
(cd "$work" && valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
    --keep-debuginfo=yes --num-callers=40 --suppressions="$suppressions" \
    --log-file="$work/memcheck.log" "$program") || status=$?
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|Invalid (read|write)' "$work/memcheck.log" |
    sed 's/^==[0-9]*== */valgrind: /' || true
# The exit status says the play ended as it should and memcheck counted no error in it; the
# summaries say memcheck saw it through to its end, and that no process forked from it (they
# write to the same log, and their errors do not reach the exit status) had an error either.
summaries=$(grep -c 'ERROR SUMMARY:' "$work/memcheck.log" || true)
clean=$(grep -c 'ERROR SUMMARY: 0 errors' "$work/memcheck.log" || true)
if ((status != 0 || summaries == 0 || clean != summaries)); then
    echo "memcheck: the run under memcheck failed (exit $status):" >&2
    sed -n '/^==[0-9]*== [A-Z]/,/^==[0-9]*== $/p' "$work/memcheck.log" | head -n 80 >&2
    exit 1
fi
