#!/usr/bin/env bash
# Mutation check: how many deliberate faults does the test suite notice?
#
# Each line of scripts/mutants.txt is one small fault in one part of the
# house (an off-by-one, a dropped check, a wrong byte order...). They are
# applied one at a time to a private copy of the tree (HEAD, or with
# --working-tree the files as they stand, uncommitted changes included), the
# copy is rebuilt incrementally and the tests run until the first failure.
# A failing or timed-out test means the fault was caught; a fault every test
# passes with SURVIVED and marks a gap in the suite. A line whose text is not
# found exactly once is "stale" (fix it in the table); a fault that does not
# compile "did not build". The developer's tree and build are never touched.
#
# Time: one full build (about 5 minutes on two cores), one clean test run
# (half a minute), then per fault an incremental build and the tests up to
# the first failure, about 50 s on average: an hour for the whole table with
# every label. --fast saves part of the test time, not the builds.
#
#   scripts/mutants.sh [--only ID[,ID...]] [--fast | --labels RE] [--jobs N]
#                      [--working-tree] [--gate N] [--keep] [--list]
#                      [--targets 'T...' --tests RE]
#
#   --labels RE     only the tests whose label matches RE (default: every test)
#   --fast          only the unit and loopback tests, as --labels 'unit|loopback'
#   --targets 'T..' build only these targets (say test_nv), not the whole tree
#   --tests RE      only the tests whose name matches RE (ctest -R); with
#                   --targets, to try the faults of one part in minutes
#   --gate N        exit 1 when fewer than N faults were caught
#   --keep          keep the copy, its build and the logs (the path is printed)
# Exit status: 0 (it is a report), 1 under --gate, 2 when the check itself
# could not run (no build, or the suite fails without any fault).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
table=$here/mutants.txt
only="" labels=() names=() targets=() jobs=2 from_tree=0 gate="" keep=0 list=0
limit=600  # seconds, for each build and each test run

while [ $# -gt 0 ]; do
  case $1 in
    --only) only=,$2,; shift ;;
    --fast) labels=(-L 'unit|loopback') ;;
    --labels) labels=(-L "$2"); shift ;;
    --jobs) jobs=$2; shift ;;
    --targets) read -r -a targets <<<"$2"; targets=(--target "${targets[@]}"); shift ;;
    --tests) names=(-R "$2"); shift ;;
    --working-tree) from_tree=1 ;;
    --gate) gate=$2; shift ;;
    --keep) keep=1 ;;
    --list) list=1 ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1 (--help for usage)" >&2; exit 2 ;;
  esac
  shift
done

# The table as tab-separated fields: id, file, description, text, replacement
# (the escapes \n still in place).
entries() {
  python3 - "$table" <<'PY'
import sys
for number, line in enumerate(open(sys.argv[1]), 1):
    if not line.strip() or line.startswith("#"):
        continue
    parts = [p.strip() for p in line.rstrip("\n").split("@@")]
    if len(parts) != 5 or not all(parts[:4]):
        sys.exit(f"mutants.txt:{number}: expected id @@ file @@ description @@ text @@ replacement")
    print("\t".join(parts))
PY
}

# apply FILE TEXT REPLACEMENT: exit 0 when replaced, 3 when the text is not
# there exactly once.
apply() {
  python3 - "$@" <<'PY'
import sys
def unescape(s):
    return s.replace("\\\\n", "\0").replace("\\n", "\n").replace("\0", "\\n")
path, text, replacement = sys.argv[1], unescape(sys.argv[2]), unescape(sys.argv[3])
source = open(path, encoding="utf-8").read()
if source.count(text) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(source.replace(text, replacement))
PY
}

if [ $list = 1 ]; then
  entries | awk -F'\t' '{ printf "%-28s %-30s %s\n", $1, $2, $3 }'
  exit 0
fi
ids=$(entries | cut -f1) || exit 2
for id in ${only//,/ }; do
  grep -qx -- "$id" <<<"$ids" || { echo "no mutant $id (--list shows them)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/netprobe-mutants.XXXXXX)
src=$work/src build=$work/build logs=$work/logs
mkdir -p "$logs"
cleanup() {
  if [ $keep = 1 ]; then
    echo "kept: $work" >&2
    [ $from_tree = 0 ] && echo "(git worktree remove --force $src when done)" >&2
  else
    [ $from_tree = 0 ] && git -C "$repo" worktree remove --force "$src" 2>/dev/null
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

if [ $from_tree = 1 ]; then
  # Tracked and untracked files as they stand, build folders left out.
  mkdir -p "$src"
  (cd "$repo" && git ls-files -z -co --exclude-standard |
     python3 -c 'import os, sys; sys.stdout.write("".join(f + "\0" for f in sys.stdin.read().split("\0") if f and os.path.isfile(f)))' |
     tar --null -T - -cf -) | tar -xf - -C "$src" || exit 2
  origin="working tree of $(git -C "$repo" rev-parse --short HEAD)"
else
  git -C "$repo" worktree add --detach --quiet "$src" HEAD || exit 2
  origin=$(git -C "$repo" rev-parse --short HEAD)
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
echo "building $origin in $build"
if ! cmake -S "$src" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNETPROBE_WERROR=OFF \
       -DNETPROBE_TESTS=ON -DNETPROBE_BENCH=OFF -DNETPROBE_FUZZ=OFF >"$logs/configure.log" 2>&1 ||
   ! cmake --build "$build" -j"$jobs" "${targets[@]}" >"$logs/build.log" 2>&1; then
  tail -n 30 "$logs/configure.log" "$logs/build.log" 2>/dev/null
  echo "the unchanged tree does not build" >&2
  exit 2
fi

# run_tests LOG: the tests up to the first failure. As root they run in a
# network namespace of their own, with loopback and a default route into a
# veth pair that goes nowhere: ports in use elsewhere on the machine cannot
# fail a test, and a fault cannot send anything off the machine.
isolate='ip link set lo up && ip link add np0 type veth peer name np1 &&
  ip addr add 198.18.0.2/24 dev np0 && ip link set np0 up && ip link set np1 up &&
  ip route add default via 198.18.0.1 && exec "$@"'
if [ "$(id -u)" = 0 ] && unshare --net sh -c "$isolate" sh true 2>/dev/null; then
  in_namespace=(unshare --net sh -c "$isolate" sh)
else
  echo "(not root, or no network namespaces: the tests share the machine's network)"
  in_namespace=()
fi
run_tests() {
  (cd "$build" && timeout -k 30 "$limit" "${in_namespace[@]}" ctest -j"$jobs" --stop-on-failure \
     --output-on-failure "${labels[@]}" "${names[@]}") >"$1" 2>&1
}

# The first test that failed, from a ctest log.
first_failure() {
  sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$1" | head -n 1
}

echo "running the tests without any fault"
start=$SECONDS
if ! run_tests "$logs/clean.log"; then
  grep -E '\*\*\*|tests passed' "$logs/clean.log" >&2
  echo "the tests fail without any fault: fix that first (log: $logs/clean.log)" >&2
  keep=1
  exit 2
fi
echo "clean run: $(grep -o '[0-9]* tests failed out of [0-9]*' "$logs/clean.log" | sed 's/.* out of //') tests pass in $((SECONDS - start)) s"

caught=0 survived=0 stale=0 nobuild=0 total=0
start=$SECONDS
while IFS=$'\t' read -r -u 3 id file what text replacement; do
  [ -n "$only" ] && [[ $only != *",$id,"* ]] && continue
  total=$((total + 1))
  cp "$src/$file" "$work/original"
  apply "$src/$file" "$text" "$replacement"
  case $? in
    0) ;;
    3) printf 'stale     %-28s %s (text not found exactly once in %s)\n' "$id" "$what" "$file"
       stale=$((stale + 1)); continue ;;
    *) echo "could not apply $id" >&2; exit 2 ;;
  esac
  if ! timeout "$limit" cmake --build "$build" -j"$jobs" "${targets[@]}" >"$logs/$id.build.log" 2>&1; then
    printf 'no-build  %-28s %s\n' "$id" "$what"
    nobuild=$((nobuild + 1))
  elif run_tests "$logs/$id.log"; then
    printf 'SURVIVED  %-28s %s\n' "$id" "$what"
    survived=$((survived + 1))
  else
    status=$?
    by=$(first_failure "$logs/$id.log")
    [ $status = 124 ] && by="${by:-the $limit s time limit}"
    printf 'caught    %-28s %s  (by %s)\n' "$id" "$what" "${by:-ctest, status $status}"
    caught=$((caught + 1))
  fi
  cp "$work/original" "$src/$file"
done 3< <(entries)

echo "mutants: $caught caught, $survived survived, $stale stale, $nobuild did not build, of $total"
echo "($origin, labels ${labels[1]:-all}, $((SECONDS - start)) s for the faults)"
# Leave the copy's build as the tree is, should it be kept.
[ $keep = 1 ] && cmake --build "$build" -j"$jobs" >/dev/null 2>&1
if [ -n "$gate" ] && [ "$caught" -lt "$gate" ]; then
  echo "fewer than $gate caught" >&2
  exit 1
fi
exit 0
