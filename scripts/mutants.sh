#!/usr/bin/env bash
# A small mutation check: applies one-token changes to the program's logic,
# one at a time, rebuilds korven_tests incrementally and counts whether the
# test suite notices (killed) or not (survived). Every file is restored
# afterwards, also when the run is interrupted.
#
#   bash scripts/mutants.sh [BUILD_DIR] [FILTER]
#
# BUILD_DIR is a configured build directory of this source tree (default
# build). FILTER, when given, runs only the mutants whose file or text
# contains it; START=N begins at the N-th mutant. A build that does not
# compile counts as neither. Results go
# to BUILD_DIR/mutants.log; the last line is the count. DRY=1 only applies
# and reverts each change, to check the table.
set -u
cd "$(dirname "$0")/.."
build=${1:-build}
filter=${2:-}
log=$build/mutants.log
# The long runs take most of the suite's time; a minute of virtual time per
# mutant keeps a run affordable. The seed is fixed so that runs compare.
export KORVEN_LONGRUN_SECONDS=${KORVEN_LONGRUN_SECONDS:-60}
export KORVEN_LONGRUN_SEED=${KORVEN_LONGRUN_SEED:-1}
[[ -d $build ]] || { echo "no build directory $build" >&2; exit 2; }

# file # text as it stands (on exactly one line) # replacement, all literal
mutants=$(cat <<'TABLE'
link/com232.cpp#(n > PNUM ? PNUM : n)#(n > PNUM ? PNUM - 1 : n)
link/com232.cpp#static_cast<unsigned char>(words[k] & 0xFF)#static_cast<unsigned char>(words[k] & 0x7F)
link/com232.cpp#if ((events & LWRS_RECEIVE) == 0)#if ((events & LWRS_RECEIVE) != 0)
link/com232.cpp#if (got == kFrameBytes) {#if (got >= kFrameBytes - 1) {
link/com232.cpp#if (tdiff > limit) {#if (tdiff >= limit) {
link/com232.cpp#if (pp[0] == kAnswerSync) {#if (pp[0] != kAnswerSync) {
link/com232.cpp#if (softversion >= 220) {#if (softversion > 220) {
link/com232.cpp#{2360, 10},#{2360, 9},
link/com232.cpp#pixE = static_cast<u16>(std::min(pixE * 8, 0xFFFF));#pixE = static_cast<u16>(std::min(pixE * 4, 0xFFFF));
link/com232.cpp#if (echo != CMD_HARDWARE) {#if (echo == CMD_HARDWARE) {
link/com232.cpp#if (tdiff > kFirmwareTimeout || waiting < 0) {#if (tdiff > kFirmwareTimeout || waiting < -1) {
link/com232.cpp#szVersion[k] = static_cast<char>(szReadBuf[2 * k + 1]);#szVersion[k] = static_cast<char>(szReadBuf[2 * k]);
link/com232.cpp#std::clamp(start, 0, 256 - 64)#std::clamp(start, 1, 256 - 64)
link/com232.cpp#if (nBytesR == blockBytes) {#if (nBytesR >= blockBytes) {
link/com232_port.cpp#if (ret < kFirmwareBytes) {#if (ret < kFirmwareBytes - 1) {
link/com232_file.cpp#pp[k] = static_cast<u16>(elements[k] & 0xFFFFu);#pp[k] = static_cast<u16>(elements[k] & 0x7FFFu);
display/gui.cpp#(static_cast<std::uint32_t>(pp[4]) << 16)#(static_cast<std::uint32_t>(pp[4]) << 15)
display/gui.cpp#if (power > 1000) {#if (power >= 1000) {
display/gui.cpp#vThd = 950;#vThd = 951;
display/gui.cpp#if (eMode > 3) {#if (eMode > 4) {
display/gui.cpp#if (eEnd == 0) {#if (eEnd == 1) {
display/gui.cpp#if (intersect > kLargestInterceptWord) {#if (intersect >= kLargestInterceptWord) {
display/gui.cpp#GetInQLen(com) > 0) {#GetInQLen(com) > 1) {
display/gui.cpp#p = static_cast<u16>((Ledge + Redge) / 2);#p = static_cast<u16>((Ledge + Redge + 1) / 2);
display/gui.cpp#if (anaMin == 1023) {#if (anaMin == 1022) {
display/gui.cpp#int left = pos - half - tol;#int left = pos + half - tol;
display/gui.cpp#const int lastSub = static_cast<int>(ccdsubpixel) - 1;#const int lastSub = static_cast<int>(ccdsubpixel) - 2;
display/gui.cpp#analogue = (anaMin == maxX8 - 1) ? 1 : anaMin;#analogue = (anaMin == maxX8 - 2) ? 1 : anaMin;
display/gui.cpp#if (tTol < 20) {#if (tTol <= 20) {
display/gui.cpp#high = Mvalue + 100;#high = Mvalue + 10;
display/gui.cpp#if (upper > maxX8 - 1) {#if (upper > maxX8) {
calibration/popup.cpp#if (magnitude >= count) {#if (magnitude > count) {
calibration/popup.cpp#for (int i = count - 1; i >= shift; --i) {#for (int i = count - 1; i > shift; --i) {
calibration/popup.cpp#*mseOut /= count;#*mseOut /= count - 1;
calibration/popup.cpp#if (whole < 0.0 || whole > largest) {#if (whole < 0.0 || whole >= largest) {
calibration/popup.cpp#if (flagstep1 == 1 && flagstep2 == 1) {#if (flagstep1 == 1 || flagstep2 == 1) {
display/gui.cpp#return ccdtype == 104 ? SLOPEMULTI_512 : SLOPEMULTI;#return ccdtype == 103 ? SLOPEMULTI_512 : SLOPEMULTI;
app/KORVENDarir23.cpp#v = static_cast<u16>(pixE - 1);#v = static_cast<u16>(pixE);
app/KORVENDarir23.cpp#v = static_cast<u16>(pixB + 1);#v = static_cast<u16>(pixB);
app/KORVENDarir23.cpp#constexpr double kQuietTime = 0.005;#constexpr double kQuietTime = 0.0005;
app/KORVENDarir23.cpp#ReadData64(start, start == 192 ? 1 : 0);#ReadData64(start, start == 128 ? 1 : 0);
app/KORVENDarir23.cpp#videoLineSuspect = videoLineSuspect || nBytesR != (fourBlocks ? 128 : 512);#videoLineSuspect = videoLineSuspect && nBytesR != (fourBlocks ? 128 : 512);
TABLE
)

# Puts the original back with a fresh time stamp: with its old one the build
# would keep the mutant's object file for every later run.
restore() {
    if [[ -n ${current:-} && -f $current.mutant-orig ]]; then
        mv -f "$current.mutant-orig" "$current"
        touch "$current"
    fi
    current=
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Literal text to a sed pattern.
quote() { printf '%s' "$1" | sed 's/[][\.*^$/]/\\&/g'; }

: >"$log"
killed=0 survived=0 broken=0 n=0
while IFS='#' read -r file plain_old plain_new; do
    [[ -z $file ]] && continue
    [[ -n $filter && $file != *$filter* && $plain_old != *$filter* ]] && continue
    n=$((n + 1))
    [[ $n -lt ${START:-1} ]] && continue
    hits=$(grep -cF -- "$plain_old" "$file")
    if [[ $hits != 1 ]]; then
        echo "#$n $file: '$plain_old' found on $hits lines" | tee -a "$log"
        broken=$((broken + 1))
        continue
    fi
    current=$file
    cp -p "$file" "$file.mutant-orig"
    pattern=$(quote "$plain_old")
    sed -i "s/$pattern/$(printf '%s' "$plain_new" | sed 's/[\/&]/\\&/g')/" "$file"
    if cmp -s "$file" "$file.mutant-orig"; then
        echo "#$n $file: not applied" | tee -a "$log"
        broken=$((broken + 1))
        restore
        continue
    fi
    if [[ -n ${DRY:-} ]]; then
        diff "$file.mutant-orig" "$file" | grep '^>' >>"$log"
        verdict=applied
    elif ! cmake --build "$build" --target korven_tests >>"$log.build" 2>&1; then
        verdict="does not build"
        broken=$((broken + 1))
    elif timeout 900 "$build/tests/korven_tests" --gtest_fail_fast >"$log.run" 2>&1; then
        verdict=SURVIVED
        survived=$((survived + 1))
    else
        verdict=killed
        killed=$((killed + 1))
        verdict="killed ($(grep -m1 -o '\[  FAILED  \] [A-Za-z0-9_/.]*' "$log.run" | cut -c14- || true))"
    fi
    echo "#$n $file: '$plain_old' -> '$plain_new': $verdict" | tee -a "$log"
    restore
done <<<"$mutants"
# Leave the build matching the restored sources.
[[ -n ${DRY:-} ]] || cmake --build "$build" --target korven_tests >>"$log.build" 2>&1
echo "mutants: $n, killed: $killed, survived: $survived, not applicable: $broken" | tee -a "$log"
