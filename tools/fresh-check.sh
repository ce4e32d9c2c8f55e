#!/usr/bin/env bash
# Runs the README's two commands on a machine that has nothing but a bare Debian bookworm, make
# and git: a minbase debootstrap tree under build/, a clone of the committed HEAD in it, then
# `make demo` and `make test` as root in a chroot. Keeps the tree only with KEEP_FRESH=1.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
  # debootstrap, mount and chroot all need root; env rather than sudo's own VAR=value, which
  # the sudoers policy may refuse.
  exec sudo env KEEP_FRESH="${KEEP_FRESH:-}" FRESH_DIR="${FRESH_DIR:-}" \
    FRESH_TIMEOUT="${FRESH_TIMEOUT:-}" "$here/tools/fresh-check.sh" "$@"
fi

export PATH="$PATH:/usr/sbin:/sbin"
repo="$(git -C "$here" rev-parse --show-toplevel)"
fresh="$(realpath -m "${FRESH_DIR:-$repo/build/fresh}")"
root="$fresh/root"
# Marks a directory as one this script made, so a mistaken FRESH_DIR is never removed.
marker="$fresh/.fresh-check"
# One deadline for everything, so a stalled mirror cannot hold CI forever.
deadline=$((SECONDS + ${FRESH_TIMEOUT:-3600}))
step="start"
child=""

say() { echo "fresh-check: $*"; }

# Every mount below $fresh, deepest first.
mounts_under() {
  findmnt -rn -o TARGET | awk -v p="$fresh" 'index($0, p "/") == 1' | LC_ALL=C sort -r
}

unmount_all() {
  local m
  for _ in 1 2 3 4 5; do
    [ -z "$(mounts_under)" ] && return 0
    while read -r m; do
      umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done < <(mounts_under)
  done
  [ -z "$(mounts_under)" ]
}

# Processes still running with their root in the tree keep its mounts busy.
kill_tree_processes() {
  local p r
  for _ in 1 2 3; do
    local found=0
    for p in /proc/[0-9]*; do
      r="$(readlink "$p/root" 2>/dev/null)" || continue
      case "$r" in
        "$root" | "$root"/*) kill -KILL "${p#/proc/}" 2>/dev/null && found=1 ;;
      esac
    done
    [ "$found" -eq 0 ] && return 0
    sleep 1
  done
}

# Removing the tree with /dev or /proc still mounted in it would delete through to the host, so
# only after the mount table shows nothing below it, and never across a file system boundary.
remove_tree() {
  if ! unmount_all; then
    say "still mounted below $fresh, not removing it:"
    mounts_under >&2
    return 1
  fi
  rm -rf --one-file-system "$fresh"
}

cleanup() {
  local rc=$?
  # A second Ctrl-C must not cut the unmounting short.
  trap '' INT TERM HUP
  trap - EXIT
  set +e
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$child" 2>/dev/null || break; sleep 0.2; done
    kill -KILL -- "-$child" 2>/dev/null
  fi
  kill_tree_processes
  if ! unmount_all; then
    say "could not unmount:"
    mounts_under >&2
    rc=1
  elif [ "${KEEP_FRESH:-}" = 1 ]; then
    say "tree kept at $root"
  elif [ -e "$marker" ]; then
    remove_tree || rc=1
  fi
  if [ "$rc" -eq 0 ]; then
    say "passed in $SECONDS s"
  else
    say "FAILED at $step (status $rc) after $SECONDS s"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Runs a step in the background under the deadline, in its own process group (timeout makes
# one), so a signal to this script can stop all of it and the trap above runs at once.
run() {
  local left=$((deadline - SECONDS)) rc=0
  [ "$left" -gt 0 ] || { say "out of time before $step"; return 124; }
  timeout --kill-after=30 "$left" "$@" &
  child=$!
  wait "$child" || rc=$?
  child=""
  [ "$rc" -ne 124 ] || say "$step timed out"
  return "$rc"
}

in_tree() {
  run env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive chroot "$root" bash -lc "$1"
}

# "URI SUITE" for each of the host's Debian bookworm sources with main in them: deb822 stanzas
# from sources.list.d, one-line entries from sources.list.
host_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
      {
        types = uris = suites = comps = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^[ \t]*#/) continue
          k = tolower($i); sub(/:.*/, "", k)
          v = $i; sub(/^[^:]*:[ \t]*/, "", v)
          if (k == "types") types = v
          else if (k == "uris") uris = v
          else if (k == "suites") suites = v
          else if (k == "components") comps = v
          else if (k == "enabled") enabled = tolower(v)
        }
        if (enabled == "no" || (" " types " ") !~ / deb / || (" " comps " ") !~ / main /) next
        nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
        for (a = 1; a <= nu; a++)
          for (b = 1; b <= ns; b++)
            if (s[b] ~ /^bookworm(-updates|-security)?$/) print u[a], s[b]
      }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" {
        i = 2
        if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        main = 0
        for (j = i + 2; j <= NF && $j !~ /^#/; j++) if ($j == "main") main = 1
        if (main && $(i + 1) ~ /^bookworm(-updates|-security)?$/) print $i, $(i + 1)
      }' "$f"
  done
}

# Nothing from the host's /dev in the tree: a tmpfs with the few nodes a build uses, so even an
# rm -rf of build/ from elsewhere while a run is going cannot reach a host device node.
mount_dev() {
  mount -t tmpfs -o mode=755,nosuid fresh-dev "$root/dev"
  mknod -m 666 "$root/dev/null" c 1 3
  mknod -m 666 "$root/dev/zero" c 1 5
  mknod -m 666 "$root/dev/full" c 1 7
  mknod -m 666 "$root/dev/random" c 1 8
  mknod -m 666 "$root/dev/urandom" c 1 9
  mknod -m 666 "$root/dev/tty" c 5 0
  mkdir -m 755 "$root/dev/pts"
  mkdir -m 1777 "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 fresh-devpts "$root/dev/pts"
  mount -t tmpfs -o mode=1777,nosuid,nodev fresh-shm "$root/dev/shm"
  ln -s pts/ptmx "$root/dev/ptmx"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
}

case "$fresh" in
  *[[:space:]]*) say "no white space in FRESH_DIR, please: $fresh"; exit 1 ;;
esac
if [ -e "$fresh" ] && [ ! -e "$marker" ]; then
  say "$fresh exists and was not made by this script; not touching it"
  exit 1
fi

sources="$(host_sources | awk '$1 ~ /^(https?|ftp|file):/ && !seen[$0]++')"
mirror="$(awk '$2 == "bookworm" { print $1; exit }' <<<"$sources")"
if [ -z "$mirror" ]; then
  say "no Debian bookworm main source in /etc/apt/sources.list{,.d}"
  exit 1
fi

if ! command -v debootstrap >/dev/null; then
  step="install debootstrap"
  say "installing debootstrap"
  run apt-get update
  run env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap
fi

step="old tree"
if [ -e "$fresh" ]; then
  say "removing the old tree at $fresh"
  kill_tree_processes
  remove_tree
fi
mkdir -p "$fresh"
touch "$marker"

step="debootstrap"
say "debootstrap --variant=minbase bookworm $root $mirror"
run debootstrap --variant=minbase bookworm "$root" "$mirror"

step="set-up"
say "clone of HEAD, committed work only: $(git -C "$repo" log -1 --format='%h %s')"
git clone --quiet --no-hardlinks "$repo" "$root/root/lpcdemo"
rm -f "$root/etc/apt/sources.list" "$root/etc/resolv.conf"
awk '{ print "deb " $1 " " $2 " main" }' <<<"$sources" >"$root/etc/apt/sources.list"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc fresh-proc "$root/proc"
mount_dev

step="apt-get install make git"
say "$step"
in_tree 'apt-get update && apt-get install -y --no-install-recommends make git'

step="make demo"
say "$step"
in_tree 'cd /root/lpcdemo && make demo'

step="make test"
say "$step"
in_tree 'cd /root/lpcdemo && make test'
step="done"
