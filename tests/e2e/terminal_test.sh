#!/usr/bin/env bash
# Drives the real qtx.exe under Wine in a detached tmux terminal: answers its
# questions with keys, interrupts it with Ctrl+C, and checks the screen and
# the files left behind.  Usage: terminal_test.sh path/to/qtx.exe
set -uo pipefail
qtx="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
if ! command -v tmux >/dev/null; then
  echo "tmux is missing: the terminal tests are skipped (scripts/setup-tools installs it)"
  exit 77
fi
prefix="${WINEPREFIX:-$HOME/.wine}"
socket="qtx-terminal-$$"
root="qtx-terminal-$$"
unix="$prefix/drive_c/$root"
win="C:\\$root"
failures=0
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  rm -rf "$unix"
}
trap cleanup EXIT
mkdir -p "$unix"
# an answer's echo must stay findable after the thousands of lines that follow it
conf="$unix/tmux.conf"
echo "set -g history-limit 50000" >"$conf"

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
screen() { tmux -L "$socket" capture-pane -p -t "$session" 2>/dev/null; }

# Waits until the screen shows the pattern (extended regex); bounded.
wait_for() {
  local pattern="$1" limit="${2:-20}" i
  for ((i = 0; i < limit * 20; i++)); do
    screen | grep -Eq -- "$pattern" && return 0
    sleep 0.05
  done
  fail "$session: no '$pattern' on the screen after ${limit}s"
  screen | sed 's/^/  | /'
  return 1
}

# Starts qtx in a fresh terminal; the shell prints its exit code afterwards.
start() {
  session="$1"
  shift
  local args="" a
  for a in "$@"; do args+=" '$a'"; done
  tmux -L "$socket" -f "$conf" new-session -d -s "$session" -x 150 -y 40 \
    "env WINEPREFIX='$prefix' WINEDEBUG=-all wine '$qtx' $args; echo \"exit code \$?\"; sleep 600"
}

# Answers a question with a key: a key sent before the question reads the
# console is discarded on purpose, so it is sent again until the echo shows.
answer() {
  local key="$1" echo="$2" i
  for ((i = 0; i < 10; i++)); do
    tmux -L "$socket" send-keys -t "$session" "$key"
    local j
    for ((j = 0; j < 20; j++)); do
      # the lines after the answer may scroll it up at once: the whole history counts
      tmux -L "$socket" capture-pane -p -S - -t "$session" 2>/dev/null | grep -Eq -- "$echo" && return 0
      sleep 0.05
    done
  done
  fail "$session: the answer '$key' never showed as '$echo'"
  screen | sed 's/^/  | /'
  return 1
}

# Once the screen shows the pattern: Ctrl+C, and the key answers the stop question.
interrupt() {
  wait_for "$1" 60 || return 1
  tmux -L "$socket" send-keys -t "$session" C-c
  wait_for "Ctrl\+C pressed - stop copying\? \(Y/N\)" || return 1
  answer "$2" "stop copying\? \(Y/N\)$2? ${2^^}"
}

ended_with() {
  wait_for "exit code [0-9]+" 30 || return 1
  local code
  code="$(screen | grep -Eo 'exit code [0-9]+' | tail -1 | grep -Eo '[0-9]+$')"
  [ "$code" = "$1" ] || { fail "$session: exit code $code instead of $1"; screen | sed 's/^/  | /'; }
}

same() { cmp -s "$1" "$2" || fail "$session: $2 differs from $1"; }

# A target older than its source, one newer, each with its own bytes.
tree() {
  local dir="$unix/$1" name
  mkdir -p "$dir/src" "$dir/dst"
  for name in "$@"; do
    [ "$name" = "$1" ] && continue
    echo "new $name" >"$dir/src/$name"
    echo "old $name" >"$dir/dst/$name"
  done
}
stamp() { touch -d "$1" "$2"; }

# -- the overwrite question, one file: Y copies; N, Esc and Ctrl+C keep ------
for key in y n Escape C-c; do
  name="one${key,,}"
  name="${name//-/}"
  tree "$name" a.txt
  stamp "2020-01-01" "$unix/$name/dst/a.txt"
  start "$name" "$win\\$name\\src\\a.txt" "$win\\$name\\dst\\a.txt"
  wait_for "a.txt already exists. Overwrite \(Y/N/All/Older/sKip all\)\?" || continue
  case "$key" in
    Escape) answer "$key" "Overwrite \(Y/N/All/Older/sKip all\)\?(\^\[)? Esc -> N" && ended_with 0 ;;
    C-c) tmux -L "$socket" send-keys -t "$session" C-c && ended_with 15 ;;   # interrupted: no echo
    *) answer "$key" "Overwrite \(Y/N/All/Older/sKip all\)\?$key? ${key^^}" && ended_with 0 ;;
  esac
  if [ "$key" = y ]; then
    same "$unix/$name/src/a.txt" "$unix/$name/dst/a.txt"
  else
    grep -q "old a.txt" "$unix/$name/dst/a.txt" || fail "$name: the target was replaced"
  fi
done

# -- A, O, K on a small tree: one question decides for the later files too ----
for key in a o k; do
  tree "many$key" b.txt c.txt d.txt
  stamp "2020-01-01" "$unix/many$key/dst/b.txt"   # older than the source
  stamp "2020-01-01" "$unix/many$key/dst/c.txt"
  stamp "2030-01-01" "$unix/many$key/dst/d.txt"   # newer than the source
  start "many$key" "$win\\many$key\\src\\*.txt" "$win\\many$key\\dst"
  wait_for "already exists. Overwrite" || continue
  asked="$(screen | grep -Eo '[a-d]\.txt already exists. Overwrite' | head -1 | cut -c1-5)"
  answer "$key" "Overwrite \(Y/N/All/Older/sKip all\)\?$key? ${key^^}"
  ended_with 0
  questions="$(screen | grep -c 'already exists. Overwrite')"
  [ "$questions" = 1 ] || fail "many$key: $questions questions instead of one"
  for name in b.txt c.txt d.txt; do
    copied=no
    case "$key" in
      a) copied=yes ;;
      o) [ "$name" = "$asked" ] || [ "$name" != d.txt ] && copied=yes ;;
    esac
    if [ "$copied" = yes ]; then
      same "$unix/many$key/src/$name" "$unix/many$key/dst/$name"
    else
      grep -q "old $name" "$unix/many$key/dst/$name" || fail "many$key: $name was replaced (asked: $asked)"
    fi
  done
done

# -- a large file: long enough to watch its progress and to interrupt it -----
big="$unix/big.bin"
head -c 1048576 /dev/urandom >"$big.part"
# large enough that a loaded machine still interrupts it in mid-copy
for ((i = 0; i < 1024; i++)); do cat "$big.part"; done >"$big"
rm -f "$big.part"
# -- the progress line: rewritten in place, complete or gone at the end ------
start progress "$win\\big.bin" "$win\\big-p.bin"
if wait_for " of [0-9.]+ [KMG]B copied"; then
  # sampled at least once: a quiet machine may finish before the first look,
  # and progress written on new lines would still be on the screen then
  most=0
  while :; do
    lines="$(screen | grep -c ' copied (')"
    [ "$lines" -gt "$most" ] && most="$lines"
    screen | grep -Eq "exit code [0-9]+" && break
    sleep 0.05
  done
  [ "$most" -le 1 ] || fail "progress: shown on $most lines at once instead of one"
  ended_with 0
  same "$big" "$unix/big-p.bin"
  rm -f "$unix/big-p.bin"
  # what stays on the screen is the full amount, or no progress at all
  screen | grep -E ' copied \(' | grep -Evq '^ *([0-9.]+ [KMG]B) of \1 copied' &&
    fail "progress: a partial progress line stays on the screen"
  screen | grep -q "File copied" || fail "progress: no File copied line"
fi

# -- Ctrl+C during a large copy: the question, then on or stop ----------------
# A quiet machine copies 1 GiB from the page cache in a third of a second,
# before the key lands: the stop runs copy 4 GiB.
huge="$unix/huge.bin"
cat "$big" "$big" "$big" "$big" >"$huge"
for key in n y; do
  start "stop$key" "$win\\huge.bin" "$win\\big-$key.bin"
  wait_for " of [0-9.]+ [KMG]B copied" || continue
  lines="$(screen | grep -c ' copied (')"
  [ "$lines" = 1 ] || fail "stop$key: the progress shows on $lines lines instead of one"
  tmux -L "$socket" send-keys -t "$session" C-c
  wait_for "Ctrl\+C pressed - stop copying\? \(Y/N\)" || continue
  answer "$key" "stop copying\? \(Y/N\)$key? ${key^^}"
  if [ "$key" = n ]; then
    ended_with 0
    same "$huge" "$unix/big-n.bin"
    rm -f "$unix/big-n.bin"
    lines="$(screen | grep -c ' copied (')"
    [ "$lines" -le 2 ] || fail "stopn: the progress scrolled over $lines lines"
  else
    wait_for "delete incomplete file \(Y/N\)\?" || continue
    answer y "delete incomplete file \(Y/N\)\?y? Yes"
    ended_with 15
    [ -e "$unix/big-y.bin" ] && fail "stopy: the incomplete target was kept"
  fi
done
rm -f "$huge"

# -- Ctrl+C during a verification pass: asked at the next verified block -----
for key in n y; do
  start "verify$key" "$win\\big.bin" "$win\\big-v$key.bin" -v
  interrupt " MB of [0-9]+ MB compared" "$key" || continue
  if [ "$key" = n ]; then
    ended_with 0
    screen | grep -q "File verified" || fail "verifyn: the pass did not go on to its end"
  else
    ended_with 15
  fi
  rm -f "$unix/big-v$key.bin"
done

# -- Ctrl+C during mirror deletions: asked before the next deletion ----------
for key in n y; do
  dir="$unix/mir$key"
  mkdir -p "$dir/src" "$dir/dst"
  echo "kept" >"$dir/src/kept.txt"
  (cd "$dir/dst" && seq -f "surplus%05g.txt" 1 20000 | xargs touch)
  start "mir$key" "$win\\mir$key\\src\\" "$win\\mir$key\\dst" -mir
  interrupt "delete file " "$key" || continue
  if [ "$key" = n ]; then
    ended_with 0
    left="$(find "$dir/dst" -name 'surplus*' | wc -l)"
    [ "$left" = 0 ] || fail "mirn: $left surplus files stayed after N"
  else
    ended_with 15
    left="$(find "$dir/dst" -name 'surplus*' | wc -l)"
    [ "$left" -gt 0 ] || fail "miry: every surplus file went although Y stopped the deletions"
  fi
done

[ "$failures" = 0 ] && echo "terminal tests passed"
exit $((failures > 0))
